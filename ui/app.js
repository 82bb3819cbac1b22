// The page: the connection to the agent, the three tasks, and the one
// confirmation dialog.
import { h, replaceContent } from "./dom.js";
import { AgentConnection, addressWithoutToken, agentAddress } from "./connection.js";
import { RestoreFlow } from "./restore.js";
import { MachinePanel } from "./machine.js";

const connectionLine = document.getElementById("connection");
const dialog = document.getElementById("confirm");
const tabs = {
  server: document.getElementById("tab-server"),
  usb: document.getElementById("tab-usb"),
  machine: document.getElementById("tab-machine"),
};
let restoreRunning = false;

// Resolves true only when the user presses the dialog's own confirm button.
function confirm(title, content, yesLabel) {
  document.getElementById("confirm-title").textContent = title;
  replaceContent(document.getElementById("confirm-text"), content);
  document.getElementById("confirm-yes").textContent = yesLabel;
  dialog.returnValue = "";
  dialog.showModal();
  document.getElementById("confirm-no").focus();
  return new Promise((resolve) => {
    dialog.addEventListener("close", () => resolve(dialog.returnValue === "yes"), { once: true });
  });
}

const stateTexts = {
  connecting: ["Connecting to the agent…", "info"],
  open: ["Connected to the agent.", "ok"],
  reconnected: ["Connection re-established.", "ok"],
  reconnecting: ["Connection lost. Reconnecting…", "error"],
};

const agentUrl = agentAddress(window.location);
const withoutToken = addressWithoutToken(window.location.href);
if (withoutToken) {
  window.history.replaceState(window.history.state, "", withoutToken);
}
const agent = new AgentConnection(agentUrl, {
  onState(state, detail) {
    let [text, kind] = stateTexts[state] || ["", "error"];
    if (state === "lost") text = `Connection lost. Trying again in ${Math.round(detail / 1000)} s…`;
    if (state === "refused") text = `Cannot reach the agent: ${detail}`;
    connectionLine.textContent = text;
    connectionLine.className = `connection ${kind}`;
    document.body.dataset.connection = state;
    if (state === "reconnected" && active) active.onReconnected();
  },
  onMessage(message) {
    if (message.op === "config_network") {
      machine.onNetwork(message.Result);
      return;
    }
    if ((message.op === "reboot" || message.op === "shutdown") && message.msg === "restore_running") {
      machine.onRefused(message.op);
      return;
    }
    if (active && active.handle(message)) return;
    if (message.op === "-p") {
      // A restore started elsewhere or before this page was loaded.
      show("server");
      active = flows.server;
      active.handle(message);
    }
  },
});

function setBusy(running) {
  restoreRunning = running;
  // A new session would end the running one: keep the other task closed.
  for (const name of ["server", "usb"]) {
    tabs[name].disabled = running && active !== flows[name];
  }
}

const flows = {
  server: new RestoreFlow({ mode: "server", container: document.getElementById("server-steps"), agent, confirm, onBusyChange: setBusy }),
  usb: new RestoreFlow({ mode: "usb", container: document.getElementById("usb-steps"), agent, confirm, onBusyChange: setBusy }),
};
const machine = new MachinePanel({ container: document.getElementById("machine-body"), agent, confirm, restoreRunning: () => restoreRunning });
let active = null;

function show(name) {
  document.getElementById("start").hidden = true;
  for (const [key, tab] of Object.entries(tabs)) {
    tab.setAttribute("aria-pressed", String(key === name));
    document.getElementById(key).hidden = key !== name;
  }
}

for (const name of ["server", "usb"]) {
  tabs[name].addEventListener("click", () => {
    show(name);
    // The agent runs one session: coming back to the task in hand keeps it,
    // unless that task is a restore that has ended.
    if (active === flows[name] && !active.ended) return;
    active = flows[name];
    active.begin();
  });
}
tabs.machine.addEventListener("click", () => show("machine"));

agent.start();
