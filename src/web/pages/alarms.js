// 实时报警: the alarm list as the station holds it (unacknowledged rows marked) and the journal,
// by default of the last 24 hours and following new rows. Read-only: acknowledging stays at
// the station.
'use strict';

(function () {
  const list = document.getElementById('alarmList');
  const journal = document.getElementById('journal');
  const fromField = document.getElementById('journalFrom');
  const toField = document.getElementById('journalTo');
  const journalError = document.getElementById('journalError');
  let following = true;     // the journal shows the last 24 hours and follows new rows
  let lastEventId = null;
  let lastAlarmState = null;
  let journalBusy = false;

  async function showAlarms() {
    const a = await QZ.getJson('/api/alarms');
    QZ.headings(list, a.columns);
    const body = list.tBodies[0];
    body.textContent = '';
    let unacked = 0;
    for (const alarm of a.alarms) {
      const tr = document.createElement('tr');
      tr.className = alarm.state + (alarm.unacknowledged ? ' unacknowledged' : '');
      alarm.texts.forEach(function (text, i) { QZ.cell(tr, text, i === 4 ? 'number' : ''); });
      body.appendChild(tr);
      if (alarm.unacknowledged)
        ++unacked;
    }
    document.getElementById('alarmCount').textContent = '共 ' + a.alarms.length + ' 条，' + unacked + ' 条未确认';
  }

  async function showJournal() {
    if (journalBusy)
      return;
    journalBusy = true;
    try {
      const url = following ? '/api/events?span=86400'
                            : '/api/events?from=' + encodeURIComponent(QZ.fieldTime(fromField.value)) +
                                  '&to=' + encodeURIComponent(QZ.fieldTime(toField.value));
      const j = await QZ.getJson(url);
      journalError.hidden = true;
      if (following) {
        fromField.value = QZ.toField(QZ.stationTime(j.from));
        toField.value = QZ.toField(QZ.stationTime(j.to));
      }
      QZ.headings(journal, j.columns);
      const body = journal.tBodies[0];
      body.textContent = '';
      for (const e of j.events) {
        const tr = document.createElement('tr');
        tr.className = e.transition;
        e.texts.forEach(function (text, i) { QZ.cell(tr, text, i === 5 ? 'number' : ''); });
        body.appendChild(tr);
      }
      document.getElementById('journalCount').textContent =
          j.truncated ? '仅显示最新的 ' + j.events.length + ' 条' : j.events.length + ' 条';
      document.body.dataset.journalRows = String(j.events.length);
    } catch (e) {
      journalError.textContent = e.message;
      journalError.hidden = false;
    } finally {
      journalBusy = false;
    }
  }

  document.getElementById('journalRange').addEventListener('submit', function (event) {
    event.preventDefault();
    following = false;
    showJournal();
  });
  document.getElementById('journalLast24').addEventListener('click', function () {
    following = true;
    showJournal();
  });

  QZ.live(function (live) {
    // The list changes with the counts and with every journaled row.
    const state = live.alarmCount + '/' + live.unacknowledged + '/' + live.lastEventId;
    if (state !== lastAlarmState) {
      lastAlarmState = state;
      showAlarms().then(function () { document.body.dataset.alarmsShown = state; }).catch(function () {});
    }
    if (live.lastEventId !== lastEventId) {
      const first = lastEventId === null;
      lastEventId = live.lastEventId;
      if (first || following)
        showJournal();
    }
  });
})();
