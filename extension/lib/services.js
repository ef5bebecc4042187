// The music sites the extension reads, and the agent's name for each site's service.
(function (root) {
  'use strict';

  // Service names as the agent knows them, and as the popup shows them. Every host here gets
  // the content scripts, and no other page does.
  const SITES = [
    { service: 'youtube-music', name: 'YouTube Music', hosts: ['music.youtube.com'] },
    { service: 'youtube', name: 'YouTube', hosts: ['www.youtube.com', 'youtube.com', 'm.youtube.com'] },
    { service: 'spotify', name: 'Spotify', hosts: ['open.spotify.com'] },
    { service: 'soundcloud', name: 'SoundCloud', hosts: ['soundcloud.com', 'www.soundcloud.com', 'm.soundcloud.com'] },
    { service: 'deezer', name: 'Deezer', hosts: ['www.deezer.com', 'deezer.com'] },
    {
      service: 'yandex',
      name: 'Yandex Music',
      hosts: ['music.yandex.ru', 'music.yandex.com', 'music.yandex.by', 'music.yandex.kz', 'music.yandex.uz'],
    },
    { service: 'vk', name: 'VK Music', hosts: ['vk.com', 'm.vk.com', 'vk.ru', 'm.vk.ru'] },
    { service: 'apple-music', name: 'Apple Music', hosts: ['music.apple.com', 'beta.music.apple.com'] },
    { service: 'tidal', name: 'TIDAL', hosts: ['listen.tidal.com', 'tidal.com'] },
    {
      service: 'amazon-music',
      name: 'Amazon Music',
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
