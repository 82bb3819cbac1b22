// The WebSocket to the agent. It reconnects by itself after a loss and tells
// the page each change, so that nothing pretends to be connected.

const retryDelays = [1000, 2000, 3000, 5000];

// Requests go out with every "-" after the "op" written as \u002d: the
// agent's external-drive session picks the kind of a message by looking for
// "-m", "-i", "-u", ... anywhere in its text, so a path holding such letters
// must not look like another request. JSON readers decode it unchanged.
export function encodeRequest(request) {
  const { op, ...rest } = request;
  const head = `{"op":${JSON.stringify(op)}`;
  const body = JSON.stringify(rest).replaceAll("-", "\\u002d");
  return body === "{}" ? `${head}}` : `${head},${body.slice(1)}`;
}

// ws://<this page's host>/backend, with the access token of the page's own
// address handed on. A page opened from a file on the machine's console talks
// to the agent on this machine.
export function agentAddress(location) {
  const parameters = new URLSearchParams(location.search);
  const token = parameters.get("token");
  const host = location.protocol === "file:" ? "127.0.0.1:12209" : location.host;
  const scheme = location.protocol === "https:" ? "wss" : "ws";
  return `${scheme}://${host}/backend${token ? `?token=${encodeURIComponent(token)}` : ""}`;
}

// The page's address without its token, or null when it has none. The agent
// keeps the token in a cookie once the page is served, so the address can
// drop it: it then stays out of the address bar, the history and anything
// copied from them.
export function addressWithoutToken(href) {
  const url = new URL(href);
  if (!url.searchParams.has("token")) {
    return null;
  }
  url.searchParams.delete("token");
  return url.href;
}

export class AgentConnection {
  constructor(url, { onMessage, onState }) {
    this.url = url;
    this.onMessage = onMessage;
    this.onState = onState;
    this.attempt = 0;
    this.socket = null;
    this.everOpened = false;
  }

  start() {
    this.onState(this.everOpened ? "reconnecting" : "connecting");
    let socket;
    try {
      socket = new WebSocket(this.url);
    } catch (error) {
      this.onState("refused", String(error));
      return;
    }
    this.socket = socket;
    socket.addEventListener("open", () => {
      this.attempt = 0;
      const again = this.everOpened;
      this.everOpened = true;
      this.onState(again ? "reconnected" : "open");
    });
    socket.addEventListener("message", (event) => {
      let message;
      try {
        message = JSON.parse(event.data);
      } catch {
        message = { op: "", unreadable: String(event.data) };
      }
      this.onMessage(message);
    });
    socket.addEventListener("close", () => {
      if (this.socket !== socket) return;
      this.socket = null;
      const delay = retryDelays[Math.min(this.attempt, retryDelays.length - 1)];
      this.attempt += 1;
      this.onState("lost", delay);
      setTimeout(() => this.start(), delay);
    });
  }

  get open() {
    return this.socket !== null && this.socket.readyState === WebSocket.OPEN;
  }

  // False when the request could not go out: the caller says so.
  send(request) {
    if (!this.open) return false;
    this.socket.send(encodeRequest(request));
    return true;
  }
}
