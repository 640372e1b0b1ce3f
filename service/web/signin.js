"use strict";
(function () {
  const params = new URLSearchParams(location.search);
  const desktop = params.get("type") === "desktop";
  const deviceId = params.get("deviceId") || "";
  let creating = false;
  const $ = (id) => document.getElementById(id);

  function bridge() {
    const c = window.chrome;
    return c && c.webview && typeof c.webview.postMessage === "function" ? c.webview : null;
  }
  function status(text, kind) {
    $("status").textContent = text;
    $("status").className = "status " + (kind || "");
  }

  if (desktop) $("desktop-note").hidden = false;
  $("toggle").addEventListener("click", () => {
    creating = !creating;
    $("name-field").hidden = !creating;
    $("title").textContent = creating ? "Create an account" : "Sign in";
    $("submit").textContent = creating ? "Create account" : "Sign in";
    $("toggle").textContent = creating ? "I have an account" : "Create an account";
    $("password").autocomplete = creating ? "new-password" : "current-password";
  });

  $("form").addEventListener("submit", async (e) => {
    e.preventDefault();
    const body = { email: $("email").value.trim(), password: $("password").value };
    if (creating) body.name = $("name").value.trim() || body.email;
    if (desktop && deviceId) body.deviceId = deviceId;
    $("submit").disabled = true;
    status(creating ? "Creating your account…" : "Signing in…");
    try {
      const res = await fetch(creating ? "web/api/signup" : "web/api/signin", {
        method: "POST",
        headers: { "Content-Type": "application/json" },
        body: JSON.stringify(body),
        credentials: "same-origin",
      });
      const data = await res.json().catch(() => ({}));
      if (!res.ok) throw new Error(data.error || "HTTP " + res.status);
      const host = bridge();
      if (desktop && host && data.token) {
        status("Signed in. Sending this computer's accounts…", "ok");
        host.postMessage("updateData|" + data.token);
      } else {
        location.href = "dashboard";
      }
    } catch (err) {
      status(err.message, "error");
      $("submit").disabled = false;
    }
  });
})();
