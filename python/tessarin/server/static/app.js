// The search page: asks /complete, /suggest and /search as the user types.
//
// Each keystroke (after a short pause) sends one request of each; a newer
// keystroke aborts the older requests, and an answer for anything but the
// latest text is dropped, so the page never shows results for text that is
// no longer in the box. The list under the box holds the completions of
// what is being typed and the corrections of it as a whole term, merged; it
// is an ARIA combobox: arrows move through it, Enter picks, Escape closes.
"use strict";

(() => {
  const DEBOUNCE_MS = 90;
  const LIST_SIZE = 8;
  const EXAMPLES = ["resturant", "beutiful", "definately", "seperate", "libary"];

  const $ = (id) => document.getElementById(id);
  const input = $("q");
  const list = $("suggestions");
  const results = $("results");
  const status = $("status");
  const correction = $("correction");
  const message = $("message");
  const welcome = $("welcome");
  const filterColumn = $("filter-column");
  const filterValues = $("filter-values");

  const state = {
    maxDist: 1,
    maxAllowed: 2,
    swaps: false, // transpositions: a swap of neighbours counts one typo
    suggestions: [],
    active: -1,
    seq: 0,
    timer: 0,
    controller: null,
    listDismissed: false,
  };

  const number = new Intl.NumberFormat("en");
  const compact = new Intl.NumberFormat("en", { notation: "compact", maximumFractionDigits: 1 });

  function el(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined) node.textContent = text;
    return node;
  }

  // A term with its corrections marked: inserted or replaced characters in
  // <mark>, typed characters the term lacks in <del>; the rest of a term
  // that completes the typed text in <b>.
  function markedTerm(segments, into) {
    for (const seg of segments) {
      if (seg.op === "keep") {
        into.append(seg.text);
      } else if (seg.op === "complete") {
        into.append(el("b", "rest", seg.text));
      } else if (seg.op === "delete") {
        const gone = el("del", "", seg.text);
        gone.title = `typed “${seg.text}”, not in the term`;
        into.append(gone);
      } else {
        const fix = el("mark", "", seg.text);
        fix.title = seg.op === "replace" ? `typed “${seg.typed}”` : "not typed";
        into.append(fix);
      }
    }
    return into;
  }

  function typos(n) {
    return n === 0 ? "exact" : n === 1 ? "1 typo" : `${n} typos`;
  }

  // --- Requests -----------------------------------------------------------

  async function getJSON(path, params, signal) {
    const response = await fetch(`${path}?${new URLSearchParams(params)}`, { signal });
    const body = await response.json();
    if (!response.ok) throw new Error(body.error || `HTTP ${response.status}`);
    return body;
  }

  function schedule() {
    clearTimeout(state.timer);
    state.timer = setTimeout(query, DEBOUNCE_MS);
  }

  async function query() {
    clearTimeout(state.timer);
    const text = input.value;
    const seq = ++state.seq;
    if (state.controller) state.controller.abort();
    state.controller = new AbortController();
    const signal = state.controller.signal;
    history.replaceState(null, "", text ? `?q=${encodeURIComponent(text)}` : location.pathname);

    if (!text.trim()) {
      showSuggestions([]);
      showResults(null);
      return;
    }
    const params = { q: text, max_dist: state.maxDist, transpositions: state.swaps };
    const started = performance.now();
    try {
      const [completed, suggested, found] = await Promise.all([
        getJSON("/complete", { q: text, limit: LIST_SIZE, transpositions: state.swaps }, signal),
        getJSON("/suggest", { ...params, limit: LIST_SIZE }, signal),
        getJSON("/search", { ...params, ...filterParam(), limit: 10 }, signal),
      ]);
      if (seq !== state.seq) return; // a newer keystroke owns the page
      showSuggestions(merged(completed.completions, suggested.suggestions));
      showResults(found, performance.now() - started);
    } catch (error) {
      if (error.name === "AbortError" || seq !== state.seq) return;
      showError(error.message);
    }
  }

  // --- Suggestions --------------------------------------------------------

  // Completions (at max_dist auto) and whole-term corrections (at the typos
  // allowed) as one list: each line once, at the lesser of its distances (a
  // completion's when they tie: its segments show the rest of the term);
  // closest first, then the most searched, then by text; and none more than
  // one typo further than the first (exact completions of "restau" are not
  // padded with guesses two typos away).
  function merged(completions, corrections) {
    const lines = new Map();
    for (const c of completions) if (!lines.has(c.text)) lines.set(c.text, c);
    for (const s of corrections) {
      const known = lines.get(s.term);
      if (!known || s.distance < known.distance) lines.set(s.term, { ...s, text: s.term });
    }
    const byText = (a, b) => (a.text < b.text ? -1 : a.text > b.text ? 1 : 0);
    const list = [...lines.values()].sort(
      (a, b) => a.distance - b.distance || b.count - a.count || byText(a, b),
    );
    return list.filter((line) => line.distance <= list[0].distance + 1).slice(0, LIST_SIZE);
  }

  function showSuggestions(suggestions) {
    state.suggestions = suggestions;
    state.active = -1;
    list.replaceChildren();
    suggestions.forEach((s, i) => {
      const item = el("li");
      item.id = `suggestion-${i}`;
      item.setAttribute("role", "option");
      item.setAttribute("aria-selected", "false");
      item.dataset.term = s.text;
      item.append(markedTerm(s.segments, el("span", "term")));
      item.append(el("span", "count", `${compact.format(s.count)} searches`));
      item.append(el("span", `badge ${s.distance ? "fixed" : "exact"}`, typos(s.distance)));
      item.addEventListener("mousedown", (event) => {
        event.preventDefault(); // keep the focus in the box
        choose(i);
      });
      list.append(item);
    });
    openList(suggestions.length > 0 && !state.listDismissed && document.activeElement === input);
  }

  function openList(open) {
    list.hidden = !open;
    input.setAttribute("aria-expanded", String(open));
    if (!open) setActive(-1);
  }

  function setActive(i) {
    const items = list.children;
    if (state.active >= 0 && items[state.active]) {
      items[state.active].classList.remove("active");
      items[state.active].setAttribute("aria-selected", "false");
    }
    state.active = i;
    if (i >= 0 && items[i]) {
      items[i].classList.add("active");
      items[i].setAttribute("aria-selected", "true");
      items[i].scrollIntoView({ block: "nearest" });
      input.setAttribute("aria-activedescendant", items[i].id);
    } else {
      input.removeAttribute("aria-activedescendant");
    }
  }

  function choose(i) {
    input.value = state.suggestions[i].text;
    state.listDismissed = true;
    openList(false);
    query();
  }

  // --- Results ------------------------------------------------------------

  // The filter of the catalogue's column, when a value is typed: a comma
  // separates values (any of which matches), a backslash escapes.
  function filterParam() {
    const values = filterValues.value.trim();
    if (!filterColumn.value || !values) return {};
    return { filter: `${filterColumn.value}:${values}` };
  }

  // Cells of the row worth a glance beside the title (not the title, link
  // or picture, nor long text).
  function details(row) {
    return Object.entries(row)
      .filter(([k, v]) => !["title", "url", "thumbnail"].includes(k) && typeof v !== "object" && String(v).length <= 24)
      .slice(0, 3)
      .map(([k, v]) => `${k} ${v}`);
  }

  function thumbColours(id) {
    let h = 2166136261;
    for (let k = 0; k < id.length; k++) h = Math.imul(h ^ id.charCodeAt(k), 16777619);
    const hue = (h >>> 0) % 360;
    return [`hsl(${hue} 70% 58%)`, `hsl(${(hue + 40) % 360} 75% 42%)`];
  }

  function showResults(found, roundTrip) {
    message.hidden = true;
    correction.hidden = true;
    results.replaceChildren();
    status.textContent = "";
    welcome.hidden = found !== null;
    // What the videos shown answer, for whoever reads the page (and its tests).
    results.dataset.query = found ? found.query : "";
    results.dataset.maxDist = found ? String(found.max_dist) : "";
    results.dataset.transpositions = found ? String(found.transpositions) : "";
    if (found === null) return;

    const best = found.matched[0];
    if (best && (best.distance > 0 || !best.complete)) {
      correction.replaceChildren();
      correction.append(best.complete ? "Showing videos for " : "Completing ");
      const term = markedTerm(best.segments, el("strong", "term"));
      if (!best.complete) term.append("…");
      correction.append(term);
      if (best.distance > 0) correction.append(` · you typed “${found.query}”`);
      correction.hidden = false;
    }

    const videos = found.videos;
    status.textContent =
      `${videos.length} video${videos.length === 1 ? "" : "s"} · ` +
      `${found.took_ms.toFixed(2)} ms in the index · ${Math.round(roundTrip)} ms round trip`;
    if (!videos.length) {
      message.className = "message";
      message.replaceChildren(`No video within ${typos(found.max_dist).replace("exact", "0 typos")} of “${found.query}”.`);
      if (state.maxDist < state.maxAllowed) {
        const more = el("button", "", "Allow one more typo");
        more.type = "button";
        more.addEventListener("click", () => setMaxDist(state.maxDist + 1));
        message.append(" ", more);
      }
      message.hidden = false;
      return;
    }
    const top = videos[0].score;
    videos.forEach((v, i) => {
      const item = el("li", "video");
      item.append(el("span", "rank", String(i + 1)));
      const row = v.catalog || {};
      const thumb = el("div", "thumb");
      const [a, b] = thumbColours(v.video);
      thumb.style.background = `linear-gradient(135deg, ${a}, ${b})`;
      if (row.thumbnail) {
        const picture = el("img");
        picture.alt = "";
        picture.loading = "lazy";
        picture.referrerPolicy = "no-referrer";
        picture.addEventListener("error", () => picture.remove()); // the colours stay
        picture.src = row.thumbnail;
        thumb.append(picture);
      }
      item.append(thumb);
      const body = el("div", "body");
      const title = el("div", "title");
      const name = typeof row.title === "string" && row.title ? row.title : `Video ${v.video.split("-")[0]}`;
      if (row.url) {
        const link = el("a", "", name);
        link.href = row.url;
        link.rel = "noopener noreferrer";
        title.append(link);
      } else {
        title.textContent = name;
      }
      if (!v.catalog) item.classList.add("uncatalogued");
      body.append(title);
      body.append(el("span", "id", v.video));
      const more = details(row);
      if (more.length) body.append(el("span", "meta", more.join(" · ")));
      item.append(body);
      const score = el("div", "score");
      const bar = el("span", "bar");
      const fill = el("i");
      fill.style.width = `${Math.max(3, (100 * v.score) / top)}%`;
      bar.append(fill);
      score.append(bar, el("b", "", v.score.toFixed(3)));
      score.title = "share of the matched searches that led to this video";
      item.append(score);
      results.append(item);
    });
  }

  function showError(text) {
    showResults(null);
    welcome.hidden = true;
    message.className = "message error";
    message.textContent = text;
    message.hidden = false;
  }

  // --- Controls -----------------------------------------------------------

  function setMaxDist(d) {
    state.maxDist = d;
    const radio = document.querySelector(`input[name="max_dist"][value="${d}"]`);
    if (radio) radio.checked = true;
    query();
  }

  function buildTypos(maxAllowed) {
    const group = $("typos");
    group.replaceChildren();
    for (let d = 0; d <= maxAllowed; d++) {
      const label = el("label");
      const radio = el("input");
      radio.type = "radio";
      radio.name = "max_dist";
      radio.value = String(d);
      radio.checked = d === state.maxDist;
      radio.setAttribute("aria-label", typos(d).replace("exact", "no typos"));
      radio.addEventListener("change", () => setMaxDist(d));
      label.append(radio, el("span", "", String(d)));
      group.append(label);
    }
  }

  function showExamples(isSample) {
    const box = $("examples");
    box.replaceChildren();
    if (!isSample) {
      welcome.querySelector("p").textContent =
        "Every keystroke asks the index for the closest known search terms and ranks the videos they led to.";
      return;
    }
    for (const word of EXAMPLES) {
      const button = el("button", "", word);
      button.type = "button";
      button.addEventListener("click", () => {
        input.value = word;
        input.focus();
        state.listDismissed = false;
        query();
      });
      box.append(button);
    }
  }

  function buildFilter(catalog) {
    const columns = catalog ? catalog.columns.filter((c) => !["title", "url", "thumbnail"].includes(c)) : [];
    $("filter").hidden = !columns.length;
    filterColumn.replaceChildren(...columns.map((c) => {
      const option = el("option", "", c);
      option.value = c;
      return option;
    }));
  }

  async function loadInfo() {
    try {
      const info = await getJSON("/info", {});
      state.maxAllowed = info.limits.max_dist;
      state.maxDist = Math.min(state.maxDist, state.maxAllowed);
      input.maxLength = info.limits.max_query;
      const ix = info.index;
      // The index file's path only when the server shows it (--admin).
      const source = ix.source === "sample" ? "Sample index · " : ix.path ? `${ix.path} · ` : "";
      $("footer").textContent =
        `${source}${number.format(ix.terms)} terms · ` +
        `${number.format(ix.videos)} videos · tessarin ${info.version}`;
      showExamples(ix.source === "sample");
      buildFilter(info.catalog);
    } catch (error) {
      $("footer").textContent = `The server did not describe its index: ${error.message}`;
    }
    buildTypos(state.maxAllowed);
  }

  // --- Keyboard -----------------------------------------------------------

  input.addEventListener("input", () => {
    state.listDismissed = false;
    schedule();
  });

  input.addEventListener("keydown", (event) => {
    const count = state.suggestions.length;
    if (event.key === "ArrowDown" || event.key === "ArrowUp") {
      if (!count) return;
      event.preventDefault();
      if (list.hidden) {
        state.listDismissed = false;
        openList(true);
      }
      const step = event.key === "ArrowDown" ? 1 : -1;
      const next = state.active < 0 ? (step > 0 ? 0 : count - 1) : (state.active + step + count) % count;
      setActive(next);
    } else if (event.key === "Enter") {
      event.preventDefault();
      if (!list.hidden && state.active >= 0) {
        choose(state.active);
      } else {
        state.listDismissed = true;
        openList(false);
        query();
      }
    } else if (event.key === "Escape") {
      if (!list.hidden) {
        event.preventDefault();
        state.listDismissed = true;
        openList(false);
      } else if (input.value) {
        event.preventDefault();
        input.value = "";
        query();
      }
    }
  });

  $("swaps").addEventListener("change", (event) => {
    state.swaps = event.target.checked;
    query();
  });

  filterColumn.addEventListener("change", () => { if (filterValues.value.trim()) query(); });
  filterValues.addEventListener("input", schedule);
  filterValues.addEventListener("keydown", (event) => {
    if (event.key === "Enter") {
      event.preventDefault();
      query();
    }
  });

  input.addEventListener("blur", () => openList(false));
  input.addEventListener("focus", () => {
    if (state.suggestions.length && !state.listDismissed) openList(true);
  });
  $("search").addEventListener("submit", (event) => event.preventDefault());

  document.addEventListener("keydown", (event) => {
    if (event.key === "/" && document.activeElement !== input) {
      event.preventDefault();
      input.focus();
      input.select();
    }
  });

  loadInfo().then(() => {
    const initial = new URLSearchParams(location.search).get("q");
    if (initial) {
      input.value = initial;
      query();
    }
  });
})();
