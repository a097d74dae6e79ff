// 数据查询: up to four channels over 1小时 / 1天 / 2天 / 7天 or a range of one's own, drawn with
// dygraphs. The line breaks where the station was interrupted (a stored -1000.000 comes as
// null) and where no record was stored at all (the breaks the station names, by the history
// window's rule), and the range's records download as the same CSV as --export-csv.
'use strict';

(function () {
  const MaxChannels = 4;
  const form = document.getElementById('query');
  const channelBox = document.getElementById('channels');
  const custom = document.getElementById('custom');
  const fromField = document.getElementById('from');
  const toField = document.getElementById('to');
  const info = document.getElementById('historyInfo');
  const errorLine = document.getElementById('historyError');
  const csv = document.getElementById('csv');
  const legend = document.getElementById('legend');
  let graph = null;

  function selectedSpan() {
    return form.querySelector('input[name="span"]:checked').value;
  }

  function checkedChannels() {
    return Array.from(channelBox.querySelectorAll('input:checked')).map(function (i) { return Number(i.value); });
  }

  function limitChannels() {
    const full = checkedChannels().length >= MaxChannels;
    for (const box of channelBox.querySelectorAll('input'))
      box.disabled = full && !box.checked;
  }

  // Rows for dygraphs: [x, v1, …]; a row of nulls goes in after every record the station
  // names as a break (nothing stored after it for far longer than usual), so the line stops
  // there.
  function chartRows(records, breaks, shiftMs) {
    const rows = [];
    const after = new Set(breaks || []);
    for (let i = 0; i < records.length; ++i) {
      const r = records[i];
      const row = [new Date(r[0] + shiftMs)];
      for (let k = 1; k < r.length; ++k)
        row.push(r[k]);
      rows.push(row);
      if (after.has(i) && i + 1 < records.length) {
        const hole = [new Date(r[0] + shiftMs + 1)];
        for (let k = 1; k < r.length; ++k)
          hole.push(null);
        rows.push(hole);
      }
    }
    return { rows: rows, gaps: after.size };
  }

  // Interruptions: runs of nulls per series.
  function interruptions(records) {
    let runs = 0;
    for (let k = 1; records.length && k < records[0].length; ++k) {
      let inRun = false;
      for (const r of records) {
        if (r[k] === null && !inRun)
          ++runs;
        inRun = r[k] === null;
      }
    }
    return runs;
  }

  // "+08:00" of an ISO time -> milliseconds east of UTC: the chart shows the station's time.
  function offsetMs(iso) {
    const m = /([+-])(\d\d):(\d\d)$/.exec(iso || '');
    if (!m)
      return 0;
    const ms = (Number(m[2]) * 60 + Number(m[3])) * 60000;
    return m[1] === '-' ? -ms : ms;
  }

  // Axis labels in the station's time (the keys are shifted so that UTC reads as its local
  // time): "12月9日" at midnight, "13:00" on the hour, "13:00:05" within a minute.
  function axisLabel(d) {
    const p = function (n) { return String(n).padStart(2, '0'); };
    if (d.getUTCHours() === 0 && d.getUTCMinutes() === 0 && d.getUTCSeconds() === 0)
      return (d.getUTCMonth() + 1) + '月' + d.getUTCDate() + '日';
    const hm = p(d.getUTCHours()) + ':' + p(d.getUTCMinutes());
    return d.getUTCSeconds() ? hm + ':' + p(d.getUTCSeconds()) : hm;
  }

  function legendTime(ms) {
    const d = new Date(ms);
    const p = function (n) { return String(n).padStart(2, '0'); };
    return d.getUTCFullYear() + '-' + p(d.getUTCMonth() + 1) + '-' + p(d.getUTCDate()) + ' ' + p(d.getUTCHours()) + ':' +
        p(d.getUTCMinutes()) + ':' + p(d.getUTCSeconds());
  }

  // The legend is written here, as text: dygraphs' own legend sets inline styles, which the
  // page's Content-Security-Policy does not allow.
  if (window.Dygraph && Dygraph.Plugins && Dygraph.PLUGINS)
    Dygraph.PLUGINS = Dygraph.PLUGINS.filter(function (p) { return p !== Dygraph.Plugins.Legend; });

  function showLegend(labels, x, points) {
    legend.textContent = '';
    if (x !== undefined) {
      const time = document.createElement('span');
      time.textContent = legendTime(x);
      legend.appendChild(time);
    }
    labels.slice(1).forEach(function (label, i) {
      const span = document.createElement('span');
      span.className = 's' + i;
      let text = label;
      if (x !== undefined) {
        const p = (points || []).find(function (q) { return q.name === label; });
        text += ': ' + (p && p.yval !== null && !isNaN(p.yval) ? p.yval.toFixed(3) : '--');
      }
      span.textContent = text;
      legend.appendChild(span);
    });
  }

  async function run() {
    const channels = checkedChannels();
    if (!channels.length) {
      errorLine.textContent = '请选择通道';
      errorLine.hidden = false;
      return;
    }
    let url = '/api/history?channels=' + channels.join(',');
    const span = selectedSpan();
    if (span === 'custom')
      url += '&from=' + encodeURIComponent(QZ.fieldTime(fromField.value)) + '&to=' + encodeURIComponent(QZ.fieldTime(toField.value));
    else
      url += '&span=' + span;
    errorLine.hidden = true;
    info.textContent = '';
    document.body.dataset.drawn = '';
    const started = performance.now();
    let h;
    try {
      h = await QZ.getJson(url);
    } catch (e) {
      errorLine.textContent = e.message;
      errorLine.hidden = false;
      return;
    }
    const fetched = performance.now();
    const from = QZ.stationTime(h.from);
    const to = QZ.stationTime(h.to);
    fromField.value = QZ.toField(from);
    toField.value = QZ.toField(to);
    csv.href = '/api/history.csv?from=' + encodeURIComponent(from) + '&to=' + encodeURIComponent(to);
    const shift = offsetMs(h.from);
    const built = chartRows(h.records, h.breaks, shift);
    const labels = ['时间'].concat(h.channels.map(function (c) { return c.channel + ' ' + c.name; }));
    const fromMs = Date.parse(h.from) + shift;
    const toMs = Date.parse(h.to) + shift;
    const options = {
      labels: labels,
      labelsUTC: true,
      connectSeparatedPoints: false,
      drawGapEdgePoints: true, // a record alone between two gaps shows as a dot
      dateWindow: [fromMs, toMs],
      colors: ['#0000ff', '#ff0000', '#008000', '#800080'],
      strokeWidth: 1.2,
      highlightCallback: function (event, x, points) { showLegend(labels, x, points); },
      unhighlightCallback: function () { showLegend(labels); },
      ylabel: h.channels.length ? h.channels[0].unit : '',
      animatedZooms: false,
      axes: { x: { axisLabelFormatter: axisLabel, valueFormatter: legendTime } },
      drawCallback: function (g, first) {
        if (!first)
          return;
        const drawn = performance.now();
        document.body.dataset.drawn = String(h.records.length);
        document.body.dataset.gaps = String(built.gaps);
        document.body.dataset.interruptions = String(interruptions(h.records));
        document.body.dataset.fetchMs = (fetched - started).toFixed(1);
        document.body.dataset.drawMs = (drawn - started).toFixed(1);
      },
    };
    if (graph)
      graph.destroy();
    // An empty range still draws its axes.
    const rows = built.rows.length ? built.rows : [[new Date(fromMs)].concat(h.channels.map(function () { return null; }))];
    graph = new Dygraph(document.getElementById('chart'), rows, options);
    showLegend(labels);
    window.qzGraph = graph;
    info.textContent = h.records.length + ' 条';
  }

  async function start() {
    let status;
    try {
      status = await QZ.getJson('/api/status');
    } catch (e) {
      errorLine.textContent = e.message;
      errorLine.hidden = false;
      return;
    }
    document.getElementById('clock').textContent = QZ.stationTime(status.time);
    for (const c of status.channels) {
      const label = document.createElement('label');
      const box = document.createElement('input');
      box.type = 'checkbox';
      box.value = c.channel;
      box.checked = c.channel === 1;
      box.addEventListener('change', limitChannels);
      label.appendChild(box);
      label.appendChild(document.createTextNode(' ' + c.channel + ' ' + c.name));
      channelBox.appendChild(label);
    }
    limitChannels();
    const now = QZ.stationTime(status.time);
    toField.value = QZ.toField(now);
    fromField.value = QZ.toField(now);
    run();
  }

  for (const radio of form.querySelectorAll('input[name="span"]'))
    radio.addEventListener('change', function () { custom.hidden = selectedSpan() !== 'custom'; });
  form.addEventListener('submit', function (event) {
    event.preventDefault();
    run();
  });
  window.qzRun = run;
  start();
})();
