// The pages' one script: follows the run a page shows by polling its /live address, and
// loads the state and difference sections without reloading the page. Everything it puts
// into the page is HTML the server rendered and escaped, or text set with textContent.
"use strict";

(function () {
  const body = document.body;
  const live = body.dataset.live;
  const poll = Number(body.dataset.poll || 1000);
  const shown = new Map(); // section name -> the HTML last put there
  let version = body.dataset.version || "";
  let failures = 0;

  function status(text, kind) {
    const mark = document.getElementById("live-status");
    if (!mark) return;
    mark.textContent = text;
    mark.className = "live " + kind;
  }

  function addStates(states) {
    for (const select of document.querySelectorAll("select[data-states]")) {
      const have = new Set(Array.from(select.options, (option) => option.value));
      for (const [number, label] of states) {
        if (have.has(String(number))) continue;
        const option = document.createElement("option");
        option.value = String(number);
        option.textContent = label;
        select.append(option);
      }
    }
  }

  function apply(reply) {
    version = reply.version;
    body.dataset.version = version;
    for (const [name, html] of Object.entries(reply.sections || {})) {
      const place = document.querySelector(`[data-section="${CSS.escape(name)}"]`);
      if (!place || shown.get(name) === html) continue;
      place.innerHTML = html;
      shown.set(name, html);
    }
    if (reply.states) {
      addStates(reply.states);
      moveOn(reply.states);
    }
  }

  async function follow() {
    if (!document.hidden) {
      try {
        const response = await fetch(`${live}?v=${encodeURIComponent(version)}`, {
          credentials: "same-origin",
          headers: { Accept: "application/json" },
        });
        if (!response.ok) throw new Error(`HTTP ${response.status}`);
        apply(await response.json());
        failures = 0;
        status("live", "on");
      } catch (error) {
        failures += 1;
        status(`not updating (${error.message})`, "off");
      }
    }
    setTimeout(follow, Math.min(poll * (1 + failures), 15000));
  }

  // Pickers nobody has touched move on to each new superstep: the state after it, and
  // what it changed.
  let latest = document.querySelector("form[data-follow] select[name=at]")?.value ?? null;
  function moveOn(states) {
    if (states.length === 0) return;
    const last = String(states[states.length - 1][0]);
    const before = String(states[Math.max(0, states.length - 2)][0]);
    if (latest === null) latest = last;
    if (last === latest) return;
    latest = last;
    for (const form of document.querySelectorAll("form[data-follow]")) {
      for (const field of form.elements) {
        if (field.name === "at" || field.name === "b") field.value = last;
        if (field.name === "a") field.value = before;
      }
      load(form, false);
    }
  }

  async function fragment(event) {
    const form = event.target.closest("form[data-fragment]");
    if (!form) return;
    event.preventDefault();
    delete form.dataset.follow;
    await load(form, true);
  }

  async function load(form, remember) {
    const query = new URLSearchParams(new FormData(form)).toString();
    const place = form.parentElement.querySelector(".fragment");
    place.classList.add("loading");
    try {
      const response = await fetch(`${form.dataset.fragment}?${query}`, { credentials: "same-origin" });
      const html = await response.text();
      if (!response.ok) throw new Error(`HTTP ${response.status}`);
      place.innerHTML = html;
      if (remember) history.replaceState(null, "", `${form.getAttribute("action")}?${query}${location.hash}`);
    } catch (error) {
      const note = document.createElement("p");
      note.className = "error";
      note.textContent = `could not load: ${error.message}`;
      place.replaceChildren(note);
    } finally {
      place.classList.remove("loading");
    }
  }

  document.addEventListener("submit", fragment);
  if (live) {
    status("live", "on");
    setTimeout(follow, poll);
  }
})();
