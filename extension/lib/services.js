// The music sites the extension reads, and the agent's name for each site's service.
(function (root) {
  'use strict';

  // Service names as the agent knows them. Every host here gets the content scripts, and no
  // other page does.
  const SITES = [
    { service: 'youtube-music', hosts: ['music.youtube.com'] },
    { service: 'youtube', hosts: ['www.youtube.com', 'youtube.com', 'm.youtube.com'] },
    { service: 'spotify', hosts: ['open.spotify.com'] },
    { service: 'soundcloud', hosts: ['soundcloud.com', 'www.soundcloud.com', 'm.soundcloud.com'] },
    { service: 'deezer', hosts: ['www.deezer.com', 'deezer.com'] },
    {
      service: 'yandex',
      hosts: ['music.yandex.ru', 'music.yandex.com', 'music.yandex.by', 'music.yandex.kz', 'music.yandex.uz'],
    },
    { service: 'vk', hosts: ['vk.com', 'm.vk.com', 'vk.ru', 'm.vk.ru'] },
    { service: 'apple-music', hosts: ['music.apple.com', 'beta.music.apple.com'] },
    { service: 'tidal', hosts: ['listen.tidal.com', 'tidal.com'] },
    {
      service: 'amazon-music',
      hosts: [
        'music.amazon.com',
        'music.amazon.co.uk',
        'music.amazon.de',
        'music.amazon.fr',
        'music.amazon.it',
        'music.amazon.es',
        'music.amazon.co.jp',
        'music.amazon.ca',
        'music.amazon.com.au',
        'music.amazon.com.br',
        'music.amazon.in',
        'music.amazon.com.mx',
      ],
    },
  ];

  const BY_HOST = new Map();
  for (const site of SITES) for (const host of site.hosts) BY_HOST.set(host, site.service);

  // '' for a host that is not a listed music site.
  function serviceFromHost(host) {
    if (typeof host !== 'string') return '';
    return BY_HOST.get(host.toLowerCase().replace(/\.$/, '')) || '';
  }

  function serviceFromUrl(url) {
    try {
      const u = new URL(url);
      return u.protocol === 'https:' ? serviceFromHost(u.hostname) : '';
    } catch {
      return '';
    }
  }

  // Match patterns of the listed sites, optionally only those of some services.
  function matchPatterns(services) {
    const out = [];
    for (const site of SITES) {
      if (services && !services.includes(site.service)) continue;
      for (const host of site.hosts) out.push(`https://${host}/*`);
    }
    return out;
  }

  const api = { SITES, serviceFromHost, serviceFromUrl, matchPatterns };
  if (typeof module === 'object' && module.exports) module.exports = api;
  else (root.Tunelight = root.Tunelight || {}).services = api;
})(globalThis);
