#pragma once

#include <QString>

namespace tarvo::webview {

// The script injected at document creation into every frame. It gives the
// page `window.chrome.webview` (postMessage, and do-nothing
// addEventListener/removeEventListener), unless the page already has one,
// and leaves no other global behind.
//
// Qt WebEngine installs its channel transport (`qt.webChannelTransport`) in
// the main frame only. The top frame's copy takes the transport into its
// closure, removes `window.qt` from the page, and sends each message as one
// method call of the channel protocol to the object "tarvoHost" (method
// index `methodIndex`). A sub-frame hands its messages to the top frame with
// window.postMessage inside an envelope marked with `nonce`, a secret of this
// process; the top frame's listener, registered before any page script,
// takes such envelopes out of the page's sight and forwards those of frames
// of its own origin (the host checks the top page's origin itself).
QString bridgeScript(int methodIndex, const QString& nonce);

}  // namespace tarvo::webview
