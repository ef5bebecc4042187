// Covers the agent cannot fetch itself: when it asks, the extension downloads the artwork and
// uploads the bytes to it. The download is the one request that does not go to the agent, and
// it goes where the page's own picture comes from.
(function (root) {
  'use strict';

  const MAX_BYTES = 4 * 1024 * 1024; // the agent refuses larger covers

  // Reads a response body, giving up as soon as it grows past the limit.
  async function readCapped(res, maxBytes) {
    const declared = Number(res.headers.get('content-length'));
    if (declared > maxBytes) return null;
    if (!res.body || !res.body.getReader) {
      const whole = new Uint8Array(await res.arrayBuffer());
      return whole.byteLength > maxBytes ? null : whole;
    }
    const reader = res.body.getReader();
    const parts = [];
    let size = 0;
    for (;;) {
      const { done, value } = await reader.read();
      if (done) break;
      size += value.byteLength;
      if (size > maxBytes) {
        reader.cancel().catch(() => {});
        return null;
      }
      parts.push(value);
    }
    const out = new Uint8Array(size);
    let at = 0;
    for (const p of parts) {
      out.set(p, at);
      at += p.byteLength;
    }
    return out;
  }

  // link: the agent link (post). A URL is tried at most once per retryAfterMs, so an agent that
  // keeps asking for a picture that cannot be had does not make us download it again and again.
  function createCoverUploader({ fetch, link, now, maxBytes = MAX_BYTES, retryAfterMs = 30000 }) {
    const tried = new Map(); // URL -> time of the last attempt

    return async function upload(url) {
      if (!/^https:\/\//.test(url)) return false;
      const t = now();
      const last = tried.get(url);
      if (last !== undefined && t - last < retryAfterMs) return false;
      tried.delete(url);
      tried.set(url, t);
      if (tried.size > 200) tried.delete(tried.keys().next().value);
      try {
        const res = await fetch(url, { credentials: 'omit' });
        if (!res.ok) return false;
        const type = (res.headers.get('content-type') || '').split(';')[0].trim() || 'image/jpeg';
        if (!type.startsWith('image/')) return false;
        const bytes = await readCapped(res, maxBytes);
        if (!bytes || bytes.byteLength === 0) return false;
        const up = await link.post(`/api/ingest/cover?url=${encodeURIComponent(url)}`, bytes, {
          'Content-Type': type,
        });
        return !!up && up.ok;
      } catch {
        return false;
      }
    };
  }

  const api = { MAX_BYTES, createCoverUploader };
  if (typeof module === 'object' && module.exports) module.exports = api;
  else (root.Tunelight = root.Tunelight || {}).cover = api;
})(globalThis);
