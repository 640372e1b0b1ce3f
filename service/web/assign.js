"use strict";
(function () {
  const $ = (id) => document.getElementById(id);
  let device = null;
  let children = [];

  function bridge() {
    const c = window.chrome;
    return c && c.webview && typeof c.webview.postMessage === "function" ? c.webview : null;
  }
  function status(text, kind) {
    $("status").textContent = text;
    $("status").className = "status " + (kind || "");
  }
  async function api(path, body) {
    const res = await fetch(path, body === undefined ? { credentials: "same-origin" } : {
      method: "POST", credentials: "same-origin",
      headers: { "Content-Type": "application/json" }, body: JSON.stringify(body),
    });
    const data = await res.json().catch(() => ({}));
    if (res.status === 401) { location.href = "Signin"; throw new Error("not signed in"); }
    if (!res.ok) throw new Error(data.error || "HTTP " + res.status);
    return data;
  }

  function render() {
    const tbody = $("accounts");
    tbody.textContent = "";
    for (const a of device.accounts) {
      const tr = document.createElement("tr");
      const name = document.createElement("td");
      name.textContent = a.account;
      const pick = document.createElement("td");
      const select = document.createElement("select");
      select.dataset.account = a.account;
      const opts = [["", "Not a child (parent, guest…)"]]
        .concat(children.map((c) => [String(c.id), c.name]))
        .concat([["new", "New child…"]]);
      for (const [value, text] of opts) {
        const o = document.createElement("option");
        o.value = value; o.textContent = text;
        select.appendChild(o);
      }
      select.value = a.childId ? String(a.childId) : "";
      const newName = document.createElement("input");
      newName.type = "text"; newName.placeholder = "Child's name"; newName.hidden = true;
      newName.value = a.account;
      select.addEventListener("change", () => { newName.hidden = select.value !== "new"; });
      pick.append(select, newName);
      tr.append(name, pick);
      tbody.appendChild(tr);
    }
  }

  async function load() {
    const data = await api("web/api/overview");
    children = data.children;
    device = data.devices.find((d) => d.deviceId === data.setupDevice) || data.devices[0] || null;
    if (!device) { status("No computer has sent its accounts yet.", "error"); $("save").disabled = true; return; }
    $("computer").textContent = "Computer: " + (device.computerName || device.deviceId);
    render();
  }

  $("save").addEventListener("click", async () => {
    $("save").disabled = true;
    status("Saving…");
    try {
      const assignments = {};
      const created = {};
      for (const select of document.querySelectorAll("select[data-account]")) {
        let id = select.value === "" ? null : select.value;
        if (id === "new") {
          const name = select.nextSibling.value.trim() || select.dataset.account;
          if (!created[name]) created[name] = (await api("web/api/children", { name })).id;
          id = created[name];
        }
        assignments[select.dataset.account] = id === null ? null : Number(id);
      }
      await api("web/api/assign", { deviceId: device.deviceId, assignments });
      const kids = Object.keys(assignments).filter((k) => assignments[k] !== null);
      const host = bridge();
      if (host) {
        host.postMessage("userCreated|" + (kids.join(",") || "none"));
        status("Saved. Tarvo on this computer is writing its settings; press Finish once it confirms.", "ok");
        $("finish").hidden = false;
      } else {
        status("Saved.", "ok");
        $("to-dashboard").hidden = false;
      }
      await load();
    } catch (err) {
      status(err.message, "error");
    } finally {
      $("save").disabled = false;
    }
  });
  $("finish").addEventListener("click", () => { const host = bridge(); if (host) host.postMessage("closeApp"); });

  load().catch((err) => status(err.message, "error"));
})();
