"""The style and the script of the HTML report, written into the page itself: it loads nothing.
The script sorts a table by a column, and shows the rows that match the verdict chosen and
every word of the search, with a count of them; a typeset formula is searched by its text."""

STYLE = """
:root { --line: #e4e7ee; --soft: #5b6473; --known: #1b7f3b; --new: #c0392b; }
* { box-sizing: border-box; }
body { font: 14px/1.45 system-ui, sans-serif; margin: 0 auto; padding: 20px 24px 48px;
  max-width: 1280px; color: #1d2330; background: #fff; overflow-wrap: break-word; }
h1 { font-size: 22px; margin: 0 0 4px; }
h2 { font-size: 18px; margin: 32px 0 8px; padding-top: 8px; border-top: 1px solid var(--line); }
h3 { font-size: 15px; margin: 14px 0 6px; }
nav { margin: 8px 0 4px; font-size: 13px; } nav a { margin-right: 14px; }
a { color: #2a5db0; }
.sub, .note { color: var(--soft); font-size: 13px; }
.note { margin: 4px 0 8px; max-width: 70em; }
.changes { border: 2px solid #2a5db0; background: #eef4ff; border-radius: 8px; padding: 10px 14px;
  margin: 12px 0; font-size: 15px; }
.headline { font-size: 18px; margin: 10px 0 12px; }
.counts { display: flex; gap: 10px; flex-wrap: wrap; margin: 6px 0; }
.count { border: 1px solid #d7dce5; border-radius: 8px; padding: 5px 10px; min-width: 84px;
  font-size: 13px; }
.count b { display: block; font-size: 20px; font-variant-numeric: tabular-nums; }
.count.known b { color: var(--known); } .count.new b { color: var(--new); }
.panels { display: flex; gap: 24px; flex-wrap: wrap; align-items: flex-start; }
.panel { flex: 1 1 420px; min-width: 0; } .panel.wide { flex: 3 1 560px; }
.tall { max-height: 460px; overflow: auto; border: 1px solid var(--line); }
.scroll { overflow-x: auto; max-width: 100%; }
.scroll.tall { max-height: 75vh; }
.tools { display: flex; gap: 14px; flex-wrap: wrap; align-items: center; margin: 8px 0; }
.tools label { white-space: nowrap; }
fieldset.verdicts { border: 1px solid #d7dce5; border-radius: 6px; padding: 3px 10px; margin: 0; }
fieldset.verdicts legend { font-size: 12px; color: var(--soft); padding: 0 4px; }
input[type=search] { width: 320px; max-width: 100%; padding: 6px 10px; font-size: 14px; }
.shown { color: var(--soft); font-variant-numeric: tabular-nums; }
table { border-collapse: collapse; width: 100%; }
th, td { border-bottom: 1px solid var(--line); padding: 5px 7px; text-align: left;
  vertical-align: top; }
th { background: #f4f6fa; cursor: pointer; user-select: none; position: sticky; top: 0; z-index: 1;
  font-weight: 600; font-size: 13px; }
th[aria-sort=ascending]::after { content: " \\25B2"; }
th[aria-sort=descending]::after { content: " \\25BC"; }
td.num, th.num { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
.known { color: var(--known); font-weight: 600; } .new { color: var(--new); font-weight: 600; }
.skipped { color: var(--soft); font-weight: 600; }
.badge { display: inline-block; font-size: 11px; border: 1px solid #b9c0cc; border-radius: 4px;
  padding: 0 4px; color: var(--soft); margin-top: 2px; }
code { font-family: ui-monospace, monospace; font-size: 12.5px; white-space: pre-wrap;
  overflow-wrap: anywhere; }
td.id, td.run, td.c { font-family: ui-monospace, monospace; font-size: 12.5px;
  overflow-wrap: anywhere; }
code.t { display: block; color: var(--soft); font-size: 11.5px; margin-top: 2px; }
.f { max-width: 30em; overflow-x: auto; overflow-y: hidden; padding: 2px 0; }
math { font-size: 15px; }
.panel td.formula { min-width: 0; } .panel .f { max-width: 18em; }
.term { display: none; } table.terms .term { display: table-cell; }
td.id { min-width: 7em; max-width: 18em; } td.word { white-space: nowrap; }
td.run { min-width: 7em; max-width: 14em; } td.canon { min-width: 9em; max-width: 18em; }
#formulas .f { max-width: 20em; }
td.formula { min-width: 14em; max-width: 32em; }
.key code { color: var(--soft); font-size: 11px; white-space: nowrap; }
td.laws { font-size: 12.5px; color: var(--soft); min-width: 10em; }
details summary { cursor: pointer; color: #33507a; }
.box { max-width: 46em; max-height: 420px; overflow: auto; margin-top: 4px;
  border: 1px solid var(--line); }
table.members td, table.members th { padding: 3px 6px; font-size: 12.5px; position: static; }
table.members .f { max-width: 18em; }
tr.more td { color: var(--soft); font-style: italic; }
img.heatmap { display: block; width: 100%; max-width: 1100px; height: auto; margin: 0 auto;
  border: 1px solid var(--line); }
"""

SCRIPT = """
(function () {
  function cellValue(row, column) {
    var cell = row.cells[column];
    var key = cell.getAttribute('data-sort');
    return key !== null ? key : cell.textContent.trim();
  }
  document.querySelectorAll('table.sortable').forEach(function (table) {
    var headers = table.tHead.rows[0].cells;
    Array.prototype.forEach.call(headers, function (th, column) {
      th.setAttribute('role', 'button');
      th.addEventListener('click', function () {
        var ascending = th.getAttribute('aria-sort') !== 'ascending';
        Array.prototype.forEach.call(headers, function (h) { h.removeAttribute('aria-sort'); });
        th.setAttribute('aria-sort', ascending ? 'ascending' : 'descending');
        var numeric = th.classList.contains('num');
        var rows = Array.prototype.slice.call(table.tBodies[0].rows);
        rows.sort(function (a, b) {
          var x = cellValue(a, column), y = cellValue(b, column);
          var order = numeric ? (parseFloat(x) - parseFloat(y)) : x.localeCompare(y);
          if (isNaN(order)) { order = isNaN(parseFloat(x)) - isNaN(parseFloat(y)); }
          return ascending ? order : -order;
        });
        var body = table.tBodies[0], part = document.createDocumentFragment();
        rows.forEach(function (row) { part.appendChild(row); });
        body.appendChild(part);
      });
    });
  });
  // A row's words: its text without the typeset formulas (their text stands beside them).
  function words(row) {
    if (row.__words === undefined) {
      var out = [], show = NodeFilter.SHOW_ELEMENT | NodeFilter.SHOW_TEXT;
      var walker = document.createTreeWalker(row, show, {
        acceptNode: function (n) {
          var math = n.nodeName.toLowerCase() === 'math';
          return math ? NodeFilter.FILTER_REJECT : NodeFilter.FILTER_ACCEPT;
        }
      });
      while (walker.nextNode()) {
        var node = walker.currentNode;
        if (node.nodeType === 3) { out.push(node.nodeValue); }
      }
      row.__words = out.join(' ').toLowerCase();
    }
    return row.__words;
  }
  function update(name) {
    var table = document.getElementById(name);
    var input = document.querySelector('input[data-filter="' + name + '"]');
    var chosen = document.querySelector('input[name="' + name + '-verdict"]:checked');
    var verdict = chosen ? chosen.value : '';
    var asked = (input ? input.value : '').toLowerCase().split(/\\s+/).filter(Boolean);
    var rows = table.tBodies[0].rows, shown = 0;
    for (var i = 0; i < rows.length; i++) {
      var row = rows[i];
      var keep = (!verdict || row.getAttribute('data-verdict') === verdict) &&
        (!asked.length || asked.every(function (w) { return words(row).indexOf(w) >= 0; }));
      row.hidden = !keep;
      shown += keep ? 1 : 0;
    }
    var counter = document.getElementById(name + '-shown');
    if (counter) {
      counter.textContent =
        shown.toLocaleString('en') + ' of ' + rows.length.toLocaleString('en') + ' shown';
    }
  }
  document.querySelectorAll('input[data-filter]').forEach(function (input) {
    var name = input.getAttribute('data-filter');
    input.addEventListener('input', function () { update(name); });
    document.querySelectorAll('input[name="' + name + '-verdict"]').forEach(function (radio) {
      radio.addEventListener('change', function () { update(name); });
    });
  });
  // "every member in the table": the table of every formula, searched for the structure.
  document.querySelectorAll('a[data-structure]').forEach(function (link) {
    link.addEventListener('click', function () {
      var input = document.querySelector('input[data-filter=formulas]');
      var every = document.querySelector('input[name=formulas-verdict][value=""]');
      if (every) { every.checked = true; }
      document.getElementById('formulas-details').open = true;
      input.value = '[' + link.getAttribute('data-structure') + ']';
      update('formulas');
    });
  });
  // The score's terms: shown on asking, the verdict and the score leading.
  document.querySelectorAll('input[data-terms]').forEach(function (box) {
    var table = document.getElementById(box.getAttribute('data-terms'));
    box.addEventListener('change', function () { table.classList.toggle('terms', box.checked); });
  });
  // A link to a structure the filters hide shows every structure again.
  document.querySelectorAll('a.to-s').forEach(function (link) {
    link.addEventListener('click', function () {
      var row = document.getElementById(link.getAttribute('href').slice(1));
      if (row && row.hidden) {
        document.querySelector('input[data-filter=structures]').value = '';
        var every = document.querySelector('input[name=structures-verdict][value=""]');
        if (every) { every.checked = true; }
        update('structures');
      }
    });
  });
})();
"""
