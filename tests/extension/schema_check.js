// A JSON-schema checker for the subset of keywords firefox-manifest.schema.json uses.
// Returns a list of problems, each "path: what"; empty when the value fits.
'use strict';

function typeOf(v) {
  if (Array.isArray(v)) return 'array';
  if (v === null) return 'null';
  if (Number.isInteger(v)) return 'integer';
  return typeof v;
}

function check(schema, value, root = schema, at = '$') {
  if (schema.$ref) return check(resolve(root, schema.$ref), value, root, at);
  const out = [];
  const fail = (what) => out.push(`${at}: ${what}`);
  const t = typeOf(value);
  if (schema.type && !(schema.type === t || (schema.type === 'number' && t === 'integer'))) {
    fail(`is ${t}, not ${schema.type}`);
    return out;
  }
  if ('const' in schema && value !== schema.const) fail(`is not ${JSON.stringify(schema.const)}`);
  if (schema.enum && !schema.enum.includes(value)) fail(`${JSON.stringify(value)} is not one of the allowed values`);
  if (schema.anyOf && schema.anyOf.every((s) => check(s, value, root, at).length > 0)) fail('fits none of the choices');
  if (t === 'string') {
    if (schema.minLength !== undefined && value.length < schema.minLength) fail('is too short');
    if (schema.maxLength !== undefined && value.length > schema.maxLength) fail('is too long');
    if (schema.pattern && !new RegExp(schema.pattern).test(value)) fail(`${JSON.stringify(value)} does not match ${schema.pattern}`);
  }
  if (t === 'array') {
    if (schema.minItems !== undefined && value.length < schema.minItems) fail('has too few items');
    if (schema.items) value.forEach((v, i) => out.push(...check(schema.items, v, root, `${at}[${i}]`)));
  }
  if (t === 'object') {
    for (const k of schema.required || []) if (!(k in value)) fail(`lacks ${k}`);
    for (const [k, v] of Object.entries(value)) {
      const where = `${at}.${k}`;
      if (schema.propertyNames) out.push(...check(schema.propertyNames, k, root, `${where} (name)`));
      if (schema.properties && k in schema.properties) out.push(...check(schema.properties[k], v, root, where));
      else if (schema.additionalProperties === false) out.push(`${where}: is not a known key`);
      else if (typeof schema.additionalProperties === 'object') out.push(...check(schema.additionalProperties, v, root, where));
    }
  }
  return out;
}

function resolve(root, ref) {
  return ref
    .replace(/^#\//, '')
    .split('/')
    .reduce((node, key) => node[key], root);
}

module.exports = { check };
