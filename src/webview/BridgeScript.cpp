#include "webview/BridgeScript.h"

namespace tarvo::webview {

QString bridgeScript(int methodIndex, const QString& nonce) {
    // The channel protocol's message type for a method call.
    constexpr int kInvokeMethod = 6;
    static const char* const kTemplate = R"JS((function () {
  'use strict';
  var nonce = '%1';
  var stringify = JSON.stringify;
  var isTop = window === window.top;
  var transport = null;
  var calls = 0;
  if (isTop && window.qt && window.qt.webChannelTransport) {
    transport = window.qt.webChannelTransport;
    try { delete window.qt; } catch (e) { window.qt = undefined; }
  }
  var report = function (e) { console.error('Tarvo bridge failed', e); };
  // body: the text to deliver, or undefined for a value that is not one.
  var send = function (body) {
    var arg = typeof body === 'string' ? body : null;
    if (transport) {
      transport.send(stringify({type: %3, object: 'tarvoHost', method: %2, args: [arg], id: ++calls}));
    } else if (!isTop) {
      window.top.postMessage({tarvoBridge: nonce, body: arg}, '*');
    } else {
      throw new Error('no channel to the host');
    }
  };
  if (window.chrome && window.chrome.webview) return;
  if (isTop) {
    window.addEventListener('message', function (event) {
      var data = event.data;
      if (!data || typeof data !== 'object' || data.tarvoBridge !== nonce) return;
      event.stopImmediatePropagation();
      // Frames of other origins inside the page are not the service speaking.
      if (event.origin !== window.location.origin) return;
      try { send(data.body); } catch (e) { report(e); }
    }, true);
  }
  if (!window.chrome) window.chrome = {};
  window.chrome.webview = {
    postMessage: function (msg) {
      try { send(typeof msg === 'string' ? msg : stringify(msg)); } catch (e) { report(e); }
    },
    addEventListener: function () {},
    removeEventListener: function () {}
  };
})();
)JS";
    return QString::fromUtf8(kTemplate).arg(nonce).arg(methodIndex).arg(kInvokeMethod);
}

}  // namespace tarvo::webview
