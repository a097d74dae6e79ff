// 实时数据: the four status panels and a tile per channel, updated at every refresh tick of the
// station (one live message a second).
'use strict';

(function () {
  const tilesArea = document.getElementById('tiles');
  const panels = [0, 1, 2, 3].map(function (i) { return document.getElementById('panel' + i); });
  let tiles = [];
  // What the page has shown, newest last (kept for a few minutes): [received at, station time,
  // value texts]. Tests and benchmarks read it.
  window.qzShown = [];

  function part(tile, className) {
    const div = document.createElement('div');
    div.className = className;
    tile.appendChild(div);
    return div;
  }

  function build(channels) {
    tilesArea.textContent = '';
    tiles = channels.map(function (c) {
      const tile = document.createElement('div');
      tile.className = 'tile';
      tile.dataset.channel = c.channel;
      const t = { root: tile };
      t.addr = part(tile, 'addr');
      t.addr.textContent = String(c.channel);
      t.name = part(tile, 'name');
      t.pv = part(tile, 'pv');
      t.value = document.createElement('span');
      t.value.className = 'value';
      t.unit = document.createElement('span');
      t.unit.className = 'unit';
      t.pv.appendChild(t.value);
      t.pv.appendChild(t.unit);
      t.state = part(tile, 'state');
      const level = part(tile, 'level');
      t.fill = document.createElement('div');
      t.fill.className = 'fill';
      level.appendChild(t.fill);
      tilesArea.appendChild(tile);
      return t;
    });
  }

  function setText(node, text) {
    if (node.textContent !== text)
      node.textContent = text;
  }

  function show(live) {
    const texts = live.panels || [];
    for (let i = 0; i < panels.length; ++i)
      setText(panels[i], texts[i] || '');
    panels[0].classList.toggle('comm-error', live.comm === 'ERROR');
    panels[3].classList.toggle('unacked', live.unacknowledged > 0);

    const channels = live.channels || [];
    if (channels.length !== tiles.length)
      build(channels);
    const shown = [];
    channels.forEach(function (c, i) {
      const t = tiles[i];
      setText(t.name, c.name);
      setText(t.value, c.text);
      setText(t.unit, c.interrupted ? '' : c.unit);
      setText(t.state, c.state);
      t.root.title = c.name;
      t.root.classList.toggle('alarm', !!c.alarm);
      t.root.classList.toggle('interrupted', !!c.interrupted);
      t.fill.style.height = Math.max(0, Math.min(100, c.bar)) + '%';
      shown.push(c.text);
    });
    document.body.dataset.serial = live.serial;
    document.body.dataset.comm = live.comm;
    window.qzShown.push([Date.now(), live.time, shown, live.answerTime]);
    if (window.qzShown.length > 600)
      window.qzShown.shift();
  }

  QZ.live(show);
})();
