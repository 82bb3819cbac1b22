// The machine itself: the network script's answer, SSH, shutdown, reboot.
import { h, replaceContent } from "./dom.js";

export class MachinePanel {
  constructor({ container, agent, confirm, restoreRunning }) {
    this.agent = agent;
    this.confirm = confirm;
    this.restoreRunning = restoreRunning;
    this.network = h("pre", { class: "network", "aria-live": "polite", tabindex: "0" }, "Not asked yet.");
    this.status = h("p", { role: "status", "aria-live": "polite" });
    replaceContent(container,
      h("h3", {}, "Network"),
      h("p", {}, "Runs the network script and shows what it reports."),
      h("button", { type: "button", onclick: () => this.configureNetwork() }, "Configure the network"),
      this.network,
      h("h3", {}, "Remote access"),
      h("button", { type: "button", onclick: () => this.disableSsh() }, "Disable SSH"),
      h("h3", {}, "Power"),
      h("div", { class: "row" },
        h("button", { type: "button", class: "danger", onclick: () => this.power("shutdown") }, "Shut down…"),
        h("button", { type: "button", class: "danger", onclick: () => this.power("reboot") }, "Reboot…")),
      this.status);
  }

  say(text) {
    this.status.textContent = text;
  }

  configureNetwork() {
    if (!this.agent.send({ op: "config_network" })) return this.say("Not connected to the agent: nothing was sent.");
    this.network.textContent = "Running the network script…";
  }

  onNetwork(result) {
    this.network.textContent = JSON.stringify(result, null, 2);
  }

  async disableSsh() {
    const yes = await this.confirm("Disable SSH?", h("p", {}, "The SSH service of this machine stops; remote shells end."), "Disable SSH");
    if (!yes) return;
    if (!this.agent.send({ op: "disable-ssh" })) return this.say("Not connected to the agent: nothing was sent.");
    this.say("Asked the agent to stop SSH (it gives no answer).");
  }

  async power(op) {
    if (this.restoreRunning()) return this.powerDuringRestore(op);
    const verb = op === "reboot" ? "Reboot" : "Shut down";
    const yes = await this.confirm(`${verb} the machine?`, h("div", {}, h("p", {}, "No restore is running."),
      h("p", {}, "The connection to the agent ends.")), `${verb} now`);
    if (!yes) return;
    if (!this.agent.send({ op })) return this.say("Not connected to the agent: nothing was sent.");
    this.say(`${verb === "Reboot" ? "Reboot" : "Shutdown"} requested; the machine goes down and the page loses its connection.`);
  }

  // The agent refuses to stop the machine under a running restore unless the
  // request says "force": only after the user has read what that costs.
  async powerDuringRestore(op) {
    const verb = op === "reboot" ? "Reboot" : "Shut down";
    const yes = await this.confirm(`A restore is running; the disk will be incomplete. ${verb} anyway?`,
      h("p", { class: "notice error" }, "The disk being written will not be usable until it is restored again."),
      `${verb} anyway`);
    if (!yes) return this.say(`Not ${verb === "Reboot" ? "rebooted" : "shut down"}: the restore goes on.`);
    if (!this.agent.send({ op, force: true })) return this.say("Not connected to the agent: nothing was sent.");
    this.say(`${verb} requested during the restore; the machine goes down and the page loses its connection.`);
  }

  // The agent knew of a restore that this page did not.
  onRefused(op) {
    this.say("The agent refused: a restore is running.");
    this.powerDuringRestore(op);
  }
}
