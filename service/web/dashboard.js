"use strict";
(function () {
  const $ = (id) => document.getElementById(id);
  const DAYS = ["Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"];
  let data = null;
  let selected = null;   // child id
  let shownFor = null;   // child whose editable fields are on screen

  function el(tag, props, ...kids) {
    const e = document.createElement(tag);
    Object.assign(e, props || {});
    for (const k of kids) e.append(k);
    return e;
  }
  function say(id, text, kind) { $(id).textContent = text; $(id).className = "status " + (kind || ""); }
  async function api(path, body) {
    const res = await fetch(path, body === undefined ? { credentials: "same-origin" } : {
      method: "POST", credentials: "same-origin",
      headers: { "Content-Type": "application/json" }, body: JSON.stringify(body),
    });
    const out = await res.json().catch(() => ({}));
    if (res.status === 401) { location.href = "Signin"; throw new Error("not signed in"); }
    if (!res.ok) throw new Error(out.error || "HTTP " + res.status);
    return out;
  }
  const lines = (id) => $(id).value.split("\n").map((s) => s.trim()).filter(Boolean);
  const hhmm = (m) => String(Math.floor(m / 60) % 24).padStart(2, "0") + ":" + String(m % 60).padStart(2, "0");
  const minutesOf = (s) => { const [h, m] = s.split(":").map(Number); return h * 60 + m; };
  const when = (iso) => iso ? new Date(iso).toLocaleString() : "never";
  const duration = (s) => s >= 3600 ? Math.floor(s / 3600) + " h " + Math.round((s % 3600) / 60) + " min" : Math.round(s / 60) + " min";
  const child = () => data && data.children.find((c) => c.id === selected);

  function windowRow(w) {
    const day = el("select", { className: "w-day" });
    DAYS.forEach((d, i) => day.append(el("option", { value: String(i), textContent: d })));
    day.value = String(w.day);
    const start = el("input", { type: "time", className: "w-start", value: hhmm(w.start) });
    const end = el("input", { type: "time", className: "w-end", value: hhmm(w.end) });
    const row = el("div", { className: "window-row" }, day, start, end);
    row.append(el("button", { textContent: "✕", title: "Remove this window", className: "danger", onclick: () => row.remove() }));
    return row;
  }

  function showEditable(c) {
    $("wl").value = c.whitelist.join("\n");
    $("bl").value = c.blacklist.join("\n");
    $("windows").textContent = "";
    for (const w of c.accessWindows) $("windows").append(windowRow(w));
    $("daily").value = c.dailyMinutes;
    $("warn").value = c.warnMinutes;
    $("apps").value = c.allowedApps.join("\n");
    shownFor = c.id;
  }

  function chart(id, rows) {
    const box = $(id);
    box.textContent = "";
    if (!rows.length) { box.append(el("div", { className: "muted", textContent: "No usage reported." })); return; }
    const max = Math.max(...rows.map((r) => r.seconds), 1);
    for (const r of rows) {
      const bar = el("div", { className: "bar" });
      bar.style.width = (100 * r.seconds / max).toFixed(1) + "%";
      bar.dataset.bundle = r.bundleId;
      bar.dataset.seconds = r.seconds;
      box.append(el("div", { className: "bar-row" },
        el("span", { className: "name", textContent: r.appName || r.bundleId, title: r.bundleId }),
        el("div", { className: "track" }, bar),
        el("span", { className: "muted", textContent: duration(r.seconds) })));
    }
  }

  function showLive(c) {
    // More-time requests (left alone while the parent is typing minutes).
    const box = $("requests");
    if (!box.contains(document.activeElement)) renderRequests(c, box);
    showChatAndMore(c);
  }

  function renderRequests(c, box) {
    box.textContent = "";
    if (!c.requests.length) box.append(el("div", { className: "muted", textContent: "No requests." }));
    for (const r of c.requests) {
      const line = el("div", { className: "request" });
      line.dataset.id = r.id;
      const text = r.minutes + " min" + (r.reason ? " — “" + r.reason + "”" : "") + " · " + r.account + " · " + when(r.requestedAt);
      if (r.status === "pending") {
        const minutes = el("input", { type: "number", min: 1, max: 1440, value: r.minutes, className: "grant-minutes", title: "Minutes to grant" });
        line.append(el("div", { className: "text" }, el("span", { className: "pending", textContent: "Pending: " }), text),
          el("div", { className: "row" }, minutes, el("span", { className: "muted", textContent: "min" }),
            el("button", { className: "primary grant", textContent: "Grant", onclick: () => decide(r.id, true, Number(minutes.value)) }),
            el("button", { className: "deny", textContent: "Deny", onclick: () => decide(r.id, false) })));
      } else {
        line.append(el("div", { className: "text muted", textContent: (r.status === "granted" ? "Granted " + r.grantedMinutes + " min" : "Denied") + ": " + text }));
      }
      box.append(line);
    }
  }

  function showChatAndMore(c) {
    // Chat.
    const chatBox = $("chat");
    const atBottom = chatBox.scrollTop + chatBox.clientHeight >= chatBox.scrollHeight - 4;
    chatBox.textContent = "";
    for (const m of c.chat) {
      const mine = m.from === "parent";
      const meta = when(m.sentAt) + (mine ? (m.readByChildAt ? " · ✓ read" : " · sent") : "");
      const node = el("div", { className: "msg " + (mine ? "parent" : "child") },
        el("div", { textContent: m.text }), el("div", { className: "meta", textContent: (mine ? m.senderName : c.name) + " · " + meta }));
      node.dataset.id = m.id;
      if (mine && m.readByChildAt) node.classList.add("read");
      chatBox.append(node);
    }
    if (atBottom) chatBox.scrollTop = chatBox.scrollHeight;
    markRead(c);
    // Seen apps, usage, computers.
    const seen = $("seen");
    seen.textContent = "";
    const allowed = new Set(lines("apps").map((s) => s.toLowerCase()));
    for (const a of c.seenApps) {
      if (allowed.has(a.bundleId.toLowerCase())) continue;
      seen.append(el("button", { className: "chip", textContent: "+ " + a.bundleId, title: a.appName,
        onclick: () => { $("apps").value = lines("apps").concat([a.bundleId]).join("\n"); showLive(child()); } }));
    }
    chart("chart-today", c.usageToday);
    chart("chart-week", c.usageWeek);
    const rows = $("computers");
    rows.textContent = "";
    for (const d of data.devices)
      for (const a of d.accounts.filter((a) => a.childId === c.id)) {
        const chatState = a.chatOk === null ? "—" : a.chatOk ? "working" : "failing" + (a.chatError ? ": " + a.chatError : "");
        rows.append(el("tr", {}, el("td", { textContent: d.computerName || d.deviceId }), el("td", { textContent: a.account }),
          el("td", { textContent: when(a.lastCheckin || d.lastCheckin) }), el("td", { textContent: chatState })));
      }
    if (!rows.children.length) rows.append(el("tr", {}, el("td", { colSpan: 4, className: "muted", textContent: "No computer assigned yet: run Tarvo on the child's computer and sign in." })));
  }

  // The child's messages on screen are read now; the overview itself marks nothing.
  const markedUpTo = {};
  function markRead(c) {
    const unread = c.chat.filter((m) => m.from === "child" && !m.readByParentAt).map((m) => m.id);
    if (document.hidden || !unread.length) return;
    const upToId = Math.max(...unread);
    if (markedUpTo[c.id] >= upToId) return;
    markedUpTo[c.id] = upToId;
    api("web/api/children/" + c.id + "/chat/read", { upToId }).catch(() => { delete markedUpTo[c.id]; });
  }

  function render() {
    $("parent-name").textContent = data.parent.name;
    const tabs = $("tabs");
    tabs.textContent = "";
    for (const c of data.children)
      tabs.append(el("button", { textContent: c.name, className: c.id === selected ? "active" : "",
        onclick: () => { selected = c.id; render(); } }));
    if (!data.children.length) {
      say("status", "No children yet: add one, or sign in from Tarvo on the child's computer.");
      $("child").hidden = true;
      return;
    }
    if (!child()) selected = data.children[0].id;
    $("child").hidden = false;
    if (shownFor !== selected) showEditable(child());
    showLive(child());
  }

  async function load() {
    data = await api("web/api/overview?tz=" + (-new Date().getTimezoneOffset()));
    render();
  }

  async function decide(id, grant, minutes) {
    try {
      await api("web/api/requests/" + id + "/decide", grant ? { grant: true, minutes } : { grant: false });
      if (document.activeElement) document.activeElement.blur();
      await load();
    } catch (err) { say("status", err.message, "error"); }
  }

  $("add-window").addEventListener("click", () => $("windows").append(windowRow({ day: 1, start: 8 * 60, end: 20 * 60 })));
  $("save-rules").addEventListener("click", async () => {
    try {
      const accessWindows = [...document.querySelectorAll(".window-row")].map((r) => {
        const end = minutesOf(r.querySelector(".w-end").value);
        return { day: Number(r.querySelector(".w-day").value), start: minutesOf(r.querySelector(".w-start").value), end: end === 0 ? 1440 : end };
      });
      await api("web/api/children/" + selected + "/rules", { whitelist: lines("wl"), blacklist: lines("bl"), accessWindows });
      shownFor = null;
      await load();
      say("rules-status", "Saved — sent to the computers.", "ok");
    } catch (err) { say("rules-status", err.message, "error"); }
  });
  $("save-limits").addEventListener("click", async () => {
    try {
      await api("web/api/children/" + selected + "/limits", { dailyMinutes: Number($("daily").value), warnMinutes: Number($("warn").value), allowedApps: lines("apps") });
      shownFor = null;
      await load();
      say("limits-status", "Saved — sent to the computers.", "ok");
    } catch (err) { say("limits-status", err.message, "error"); }
  });
  $("chat-form").addEventListener("submit", async (e) => {
    e.preventDefault();
    const text = $("chat-input").value.trim();
    if (!text) return;
    try {
      await api("web/api/children/" + selected + "/chat", { text });
      $("chat-input").value = "";
      await load();
      $("chat").scrollTop = $("chat").scrollHeight;
    } catch (err) { say("status", err.message, "error"); }
  });
  $("refresh").addEventListener("click", async () => {
    try { await api("web/api/children/" + selected + "/refresh", {}); say("refresh-status", "Asked.", "ok"); }
    catch (err) { say("refresh-status", err.message, "error"); }
  });
  $("add-child").addEventListener("click", async () => {
    const name = prompt("The child's name");
    if (!name) return;
    try { selected = (await api("web/api/children", { name })).id; await load(); }
    catch (err) { say("status", err.message, "error"); }
  });
  $("sign-out").addEventListener("click", async () => { await api("web/api/signout", {}).catch(() => {}); location.href = "Signin"; });

  load().catch((err) => say("status", err.message, "error"));
  setInterval(() => { if (!document.hidden) load().catch(() => {}); }, 5000);
})();
