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
    const verb = op === "reboot" ? "Reboot" : "Shut down";
    const warning = this.restoreRunning()
      ? h("p", { class: "notice error" }, `A restore is running. ${verb === "Reboot" ? "Rebooting" : "Shutting down"} now leaves the target disk half written and unusable.`)
      : h("p", {}, "No restore is running.");
    const yes = await this.confirm(`${verb} the machine?`, h("div", {}, warning,
      h("p", {}, "The connection to the agent ends.")), `${verb} now`);
    if (!yes) return;
    if (!this.agent.send({ op })) return this.say("Not connected to the agent: nothing was sent.");
    this.say(`${verb === "Reboot" ? "Reboot" : "Shutdown"} requested; the machine goes down and the page loses its connection.`);
  }
}
