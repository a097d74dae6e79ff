// What every page of the web view shares: JSON requests that send a lost session back to the
// login page, the live connection (WebSocket, reconnected after a break), and the station's
// time texts.
'use strict';

window.QZ = (function () {
  function toLogin() {
    location.assign('/login?next=' + encodeURIComponent(location.pathname));
  }

  async function getJson(url) {
    const response = await fetch(url, { credentials: 'same-origin', cache: 'no-store' });
    if (response.status === 401) {
      toLogin();
      throw new Error('login required');
    }
    let body = null;
    try {
      body = await response.json();
    } catch (e) {
      throw new Error(response.status + ' ' + response.statusText);
    }
    if (!response.ok)
      throw new Error(body && body.error ? body.error : response.status + ' ' + response.statusText);
    return body;
  }

  // "2026-03-01T08:00:01.512+08:00" -> "2026-03-01 08:00:01": the station's own local time,
  // whatever the browser's time zone.
  function stationTime(iso) {
    return iso ? iso.slice(0, 19).replace('T', ' ') : '';
  }

  // The value of a datetime-local field as the API takes it ("yyyy-MM-dd HH:mm:ss").
  function fieldTime(value) {
    if (!value)
      return '';
    const t = value.replace('T', ' ');
    return t.length === 16 ? t + ':00' : t.slice(0, 19);
  }

  // "yyyy-MM-dd HH:mm:ss" -> the value of a datetime-local field.
  function toField(text) {
    return text ? text.replace(' ', 'T') : '';
  }

  // Calls onMessage with every live message; shows the notice while the connection is down.
  function live(onMessage) {
    const notice = document.getElementById('connection');
    let retry = null;
    function connect() {
      retry = null;
      const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
      const socket = new WebSocket(scheme + '//' + location.host + '/ws');
      let opened = false;
      socket.onopen = function () {
        opened = true;
        if (notice)
          notice.hidden = true;
      };
      socket.onmessage = function (event) {
        let message;
        try {
          message = JSON.parse(event.data);
        } catch (e) {
          return;
        }
        const clock = document.getElementById('clock');
        if (clock)
          clock.textContent = stationTime(message.time);
        onMessage(message);
      };
      socket.onclose = function () {
        if (notice && opened)
          notice.hidden = false;
        // A refused upgrade or a session that ended: the status request tells which.
        fetch('/api/status', { credentials: 'same-origin', cache: 'no-store' })
          .then(function (r) {
            if (r.status === 401)
              toLogin();
            else
              schedule();
          })
          .catch(function () {
            if (notice)
              notice.hidden = false;
            schedule();
          });
      };
    }
    function schedule() {
      if (!retry)
        retry = setTimeout(connect, 2000);
    }
    connect();
  }

  function cell(row, text, className) {
    const td = document.createElement('td');
    td.textContent = text;
    if (className)
      td.className = className;
    row.appendChild(td);
    return td;
  }

  function headings(table, titles) {
    const tr = table.querySelector('thead tr');
    tr.textContent = '';
    for (const t of titles) {
      const th = document.createElement('th');
      th.textContent = t;
      tr.appendChild(th);
    }
  }

  return { getJson: getJson, live: live, stationTime: stationTime, fieldTime: fieldTime, toField: toField,
           cell: cell, headings: headings, toLogin: toLogin };
})();
