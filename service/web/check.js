// The web checker: sends one task check to this service and shows the answer with the
// same sections, texts and limits as the desktop program. Every text from the answer is
// set as text, never as markup.
'use strict';

(function () {
  const MAX_TASK = 8000;
  const MAX_PACKET = 12000;
  const VERDICTS = {
    start_now: 'START NOW',
    scope_down: 'SCOPE DOWN',
    plan_first: 'PLAN FIRST',
    wait_for_reset: 'WAIT FOR RESET',
  };
  const SIZES = { tiny: 'Tiny', small: 'Small', medium: 'Medium', large: 'Large', huge: 'Huge' };
  const STATES = [
    ['COMFORTABLE', 'Current quota leaves reasonable room for implementation and validation.'],
    ['KEEP HEADROOM', 'Finish the current unit before starting another branch of work.'],
    ['VALIDATION AT RISK', 'Stop expanding scope. Preserve the remaining window for completion and validation.'],
    ['VALIDATION ONLY', 'Do not start new implementation. Run tests, verification and checkpoint the current work.'],
    ['QUOTA EXHAUSTED', 'Quota is exhausted. Stop and resume after reset.'],
  ];
  const POLICIES = { light: 0, standard: 1, high: 2 };
  const UNAVAILABLE = 'The check is unavailable right now. Try again shortly.';

  const segmenter = typeof Intl !== 'undefined' && Intl.Segmenter
    ? new Intl.Segmenter(undefined, { granularity: 'grapheme' }) : null;
  function characters(text) {
    if (!segmenter) return Array.from(text).length;
    let n = 0;
    for (const _ of segmenter.segment(text)) n++; // eslint-disable-line no-unused-vars
    return n;
  }

  const $ = (id) => document.getElementById(id);
  const form = $('check-form');
  const task = $('task');
  const counter = $('counter');
  const button = $('check');
  const status = $('status');
  const results = $('results');

  function updateCounter() {
    const n = characters(task.value.trim());
    counter.textContent = n.toLocaleString('en-US') + ' / 8,000';
    counter.classList.toggle('over', n > MAX_TASK);
  }
  task.addEventListener('input', updateCounter);

  function percent(input) {
    const raw = input.value.trim();
    if (raw === '') return { ok: true };
    const n = Number(raw);
    if (!Number.isInteger(n) || n < 0 || n > 100) return { ok: false };
    return { ok: true, value: n };
  }

  // Band of the lower remaining percentage, and the reserve state it gives under a policy.
  function band(fiveHour, weekly) {
    const present = [fiveHour, weekly].filter((v) => v !== undefined);
    if (present.length === 0) return undefined;
    const m = Math.min(...present);
    if (m < 1) return 'blocked';
    if (m < 16) return 'critical';
    if (m < 36) return 'tight';
    if (m < 66) return 'moderate';
    return 'healthy';
  }
  function reserveState(bandName, policy) {
    if (bandName === 'blocked') return STATES[4];
    const b = { healthy: 0, moderate: 1, tight: 2, critical: 3 }[bandName];
    return STATES[Math.max(0, Math.min(3, b + POLICIES[policy] - 1))];
  }

  // Reads an answer the way the program does: strict where it must be, forgiving where it may.
  function readAnswer(doc) {
    const isString = (v) => typeof v === 'string';
    const absent = (v) => v === undefined || v === null;
    if (!doc || typeof doc !== 'object' || Array.isArray(doc)) return null;
    if (!isString(doc.decision) || !(doc.decision in VERDICTS)) return null;
    const q = doc.quota;
    if (!q || typeof q !== 'object' || !isString(q.band) || !isString(q.reason) || q.reason === '') return null;
    if (!absent(doc.taskSize) && !isString(doc.taskSize)) return null;
    let lints = [];
    if (!absent(doc.lints)) {
      if (!Array.isArray(doc.lints)) return null;
      for (const l of doc.lints) {
        if (!l || typeof l !== 'object' || !['code', 'title', 'message', 'fix'].every((k) => isString(l[k]))) return null;
      }
      lints = doc.lints.filter((l) => l.title !== '' && l.fix !== '').slice(0, 4);
    }
    let shape = null;
    if (!absent(doc.taskShape)) {
      if (typeof doc.taskShape !== 'object' || Array.isArray(doc.taskShape)) return null;
      shape = doc.taskShape;
      for (const k of ['scope', 'direction', 'preserve', 'validation', 'stop']) {
        if (!absent(shape[k]) && !isString(shape[k])) return null;
      }
    }
    let deferred = [];
    if (!absent(doc.defer)) {
      if (!Array.isArray(doc.defer) || !doc.defer.every(isString)) return null;
      deferred = doc.defer.filter((d) => d !== '').slice(0, 5);
    }
    const packet = isString(doc.taskPacket) && doc.taskPacket !== '' && characters(doc.taskPacket) <= MAX_PACKET
      ? doc.taskPacket : null;
    const policy = isString(doc.reservePolicy) && doc.reservePolicy in POLICIES ? doc.reservePolicy : null;
    return { decision: doc.decision, reason: q.reason, taskSize: absent(doc.taskSize) ? null : doc.taskSize,
      lints, shape, deferred, packet, policy };
  }

  function el(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined) node.textContent = text;
    return node;
  }

  function render(answer, fiveHour, weekly) {
    results.replaceChildren();
    results.append(el('p', 'verdict', VERDICTS[answer.decision]));
    results.append(el('p', 'reason', answer.reason));

    results.append(el('h2', 'heading', 'Task lints'));
    if (answer.lints.length === 0) {
      results.append(el('p', 'none', 'No material problems found. The task is bounded as written.'));
    } else {
      const list = el('div', 'lints');
      for (const lint of answer.lints) {
        const item = el('div', 'lint');
        item.append(el('p', 'lint-title', lint.title), el('p', 'lint-message', lint.message),
          el('p', 'lint-fix', 'Fix: ' + lint.fix));
        list.append(item);
      }
      results.append(list);
    }

    if (answer.packet !== null) {
      results.append(el('h2', 'heading', 'Run this task'));
      results.append(el('pre', 'packet', answer.packet));
      const copy = el('button', 'copy', 'Copy for Codex');
      copy.type = 'button';
      copy.addEventListener('click', () => copyPacket(copy, answer.packet));
      results.append(copy);
    }

    const rows = [];
    if (answer.shape) {
      for (const [label, key] of [['Scope', 'scope'], ['Direction', 'direction'], ['Preserve', 'preserve'],
        ['Validate', 'validation'], ['Stop', 'stop']]) {
        const v = answer.shape[key];
        if (typeof v === 'string' && v !== '') rows.push([label, v]);
      }
    }
    if (rows.length > 0) {
      results.append(el('h2', 'heading', 'Recommended task shape'));
      const dl = el('dl', 'shape');
      for (const [label, value] of rows) dl.append(el('dt', '', label), el('dd', '', value));
      results.append(dl);
    }

    if (answer.deferred.length > 0) {
      results.append(el('h2', 'heading', 'Defer for later'));
      results.append(el('p', 'deferred', answer.deferred.map((d) => '\u2022 ' + d).join('\n')));
    }

    const b = band(fiveHour, weekly);
    if (b !== undefined && answer.policy !== null) {
      const [title, guidance] = reserveState(b, answer.policy);
      results.append(el('h2', 'heading', 'Validation reserve'));
      results.append(el('p', 'state', title), el('p', 'guidance', guidance));
    }

    if (answer.taskSize !== null) {
      const label = Object.prototype.hasOwnProperty.call(SIZES, answer.taskSize) ? SIZES[answer.taskSize] : answer.taskSize;
      results.append(el('p', 'size', 'Task size: ' + label));
    }
    results.append(el('p', 'disclaimer', 'Experimental task-fit assessment, not an OpenAI quota estimate.'));
    results.hidden = false;
  }

  async function copyPacket(copy, packet) {
    try {
      await navigator.clipboard.writeText(packet);
    } catch (e) {
      // Without clipboard access, select the packet so the user can copy it by hand.
      const pre = results.querySelector('.packet');
      const range = document.createRange();
      range.selectNodeContents(pre);
      const sel = window.getSelection();
      sel.removeAllRanges();
      sel.addRange(range);
      return;
    }
    copy.textContent = 'Copied';
    setTimeout(() => { copy.textContent = 'Copy for Codex'; }, 1500);
  }

  let inFlight = false;
  form.addEventListener('submit', async (event) => {
    event.preventDefault();
    if (inFlight) return;
    const text = task.value.trim();
    if (text === '') { status.textContent = 'Describe the task first.'; return; }
    if (characters(text) > MAX_TASK) { status.textContent = 'That description is longer than 8,000 characters.'; return; }
    const five = percent($('five-hour'));
    const week = percent($('weekly'));
    if (!five.ok || !week.ok) { status.textContent = 'A remaining percentage is a whole number from 0 to 100.'; return; }

    const quota = {};
    if (five.value !== undefined) quota.fiveHourRemainingPercent = five.value;
    if (week.value !== undefined) quota.weeklyRemainingPercent = week.value;

    inFlight = true;
    button.disabled = true;
    button.textContent = 'Checking\u2026';
    status.textContent = '';
    results.hidden = true;
    results.replaceChildren();
    const controller = new AbortController();
    const timer = setTimeout(() => controller.abort(), 30000);
    try {
      const response = await fetch('/api/tessaline', {
        method: 'POST',
        headers: { 'Content-Type': 'application/json', Accept: 'application/json' },
        body: JSON.stringify({ task: text, quota }),
        signal: controller.signal,
        cache: 'no-store',
        credentials: 'omit',
      });
      let doc = null;
      try { doc = await response.json(); } catch (e) { doc = null; }
      if (response.status === 200) {
        const answer = readAnswer(doc);
        if (answer) render(answer, five.value, week.value); else status.textContent = UNAVAILABLE;
      } else if (response.status >= 400 && response.status < 500 && doc && typeof doc.error === 'string') {
        status.textContent = doc.error;
      } else {
        status.textContent = UNAVAILABLE;
      }
    } catch (e) {
      status.textContent = 'The check could not reach ' + location.host + '.';
    } finally {
      clearTimeout(timer);
      inFlight = false;
      button.disabled = false;
      button.textContent = 'Check task';
    }
  });

  updateCounter();
})();
