// Asks for the music sites once, at install, where the browser holds site access back (Firefox).
// The request needs the click: the browser refuses it without a user gesture.
'use strict';

(() => {
  const ext = globalThis.browser || globalThis.chrome;
  const origins = ext.runtime.getManifest().host_permissions || [];
  const show = (ok) => {
    document.getElementById('ask').hidden = ok;
    document.getElementById('done').hidden = !ok;
  };
  ext.permissions.contains({ origins }).then(show, () => {});
  document.getElementById('grant').addEventListener('click', () => {
    ext.permissions.request({ origins }).then(show, () => {});
  });
  // Granted elsewhere (the add-ons manager, the popup): say so here too.
  ext.permissions.onAdded.addListener(() => ext.permissions.contains({ origins }).then(show));
})();
