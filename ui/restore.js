// One restore, from the backup server or from a USB drive: choose the
// backup, read the agent's report on source and target disks, map each source
// disk to a target, confirm the target by name, follow the progress.
import { h, replaceContent, formatBytes } from "./dom.js";
import { ProgressView } from "./progress.js";

const listingErrors = {
  no_images_for_client: "This client has no images on the backup server.",
  internal_error: "The backup service could not list them.",
  "no_server_found`": "The backup service cannot be reached.",
};

function step(title) {
  const heading = h("h3", {}, title);
  const body = h("div", { class: "step-body" });
  const element = h("section", { class: "step" }, heading, body);
  return { element, heading, body };
}

function alert(text, kind = "error") {
  return h("p", { class: `notice ${kind}`, role: kind === "error" ? "alert" : "status" }, text);
}

export class RestoreFlow {
  // mode: "server" or "usb". confirm(title, content, yesLabel) resolves true or false.
  constructor({ mode, container, agent, confirm, onBusyChange }) {
    this.mode = mode;
    this.container = container;
    this.agent = agent;
    this.confirm = confirm;
    this.onBusyChange = onBusyChange;
    this.lastError = "";
    this.running = false;
  }

  // Starts a new session on the agent and shows the first step.
  begin() {
    this.container.replaceChildren();
    this.clientStep = this.imageStep = this.reportStep = this.progressStep = null;
    this.waits = 0;
    this.wrongPassword = false;
    this.lastError = "";
    this.images = [];
    this.espChecks = [];
    this.pendingEsp = [];
    this.report = null;
    this.progress = null;
    this.waitingBehindRun = false;
    this.setRunning(false);
    this.source = step(this.mode === "server" ? "1. Log in to the backup service" : "1. Find the backups on USB drives");
    this.container.append(this.source.element);
    if (!this.send({ op: "init", mode: this.mode === "server" ? "BMR_SERVER" : "EXTERNAL_DRIVE" })) return;
    if (this.mode === "server") {
      replaceContent(this.source.body, alert("Asking the backup service…", "info"));
    } else {
      this.findDrives();
    }
  }

  // A restore shown here has ended (this page's or one seen from elsewhere).
  get ended() {
    return this.progress != null && !this.running;
  }

  send(request) {
    if (this.agent.send(request)) return true;
    this.container.append(alert("Not connected to the agent: nothing was sent. Wait for the connection and try again."));
    return false;
  }

  setRunning(running) {
    this.running = running;
    this.onBusyChange(running);
  }

  // A running restore goes on reporting after a reconnection; a choice in
  // the middle of the dialogue may have been lost with the connection, or
  // with the agent if it restarted.
  onReconnected() {
    if (this.running || this.container.childElementCount === 0) return;
    this.container.append(alert("The connection to the agent was lost and is back. If no answer comes, start again: an agent that restarted has forgotten the earlier choices.", "info"),
      h("button", { type: "button", onclick: () => this.begin() }, "Start again"));
  }

  // Returns true when the message belonged to this flow.
  handle(message) {
    if ((message.op === "auth" || message.op === "-m") && this.waitingBehindRun && !this.running) {
      // The restore this session waited for has ended, and the session begins.
      this.waitingBehindRun = false;
      if (this.progressStep) this.progressStep.element.remove();
      this.progress = this.progressStep = null;
    }
    switch (message.op) {
      case "auth": return this.mode === "server" && this.onAuth(message.msg);
      case "-m": return this.mode === "usb" && this.onDrives(message.Result);
      case "-u": return this.onFolders(message.Result);
      case "-e": return this.onImages(message.Result);
      case "-i": return this.onReport(message);
      case "-c": return this.onEspCheck(message.Result);
      case "-p": return this.onProgress(message.progress);
      case "refused": return this.onRefused(message);
      case "cancel-restore": return this.onCancelled();
      case "busy": return this.onBusy();
      case "error": return this.onListingError(message);
      default:
        if (message.error === "invalid json") {
          this.lastError = "invalid json";
          this.container.append(alert("The agent could not read a request (invalid json)."));
          return true;
        }
        return false;
    }
  }

  // --- server: the login dialogue ---

  onAuth(word) {
    const body = this.source.body;
    if (word === "user_not_found") {
      this.waits = (this.waits || 0) + 1;
      replaceContent(body, alert(`Waiting for the backup service… (asked ${this.waits} times; it answers no login yet)`, "info"));
    } else if (word === "password_needed") {
      this.showPasswordForm(this.wrongPassword);
      this.wrongPassword = false;
    } else if (word === "login_failed") {
      this.lastError = word;
      this.wrongPassword = true;
      replaceContent(body, alert("Wrong password (login_failed). The agent asks again…"));
    } else if (word === "login_success") {
      replaceContent(body, alert("Logged in to the backup service.", "ok"));
    } else if (word === "server_not_found") {
      this.lastError = word;
      replaceContent(body, alert("The backup service was not found (server_not_found). Make sure it runs on this machine, then start again."),
        h("button", { type: "button", onclick: () => this.begin() }, "Start again"));
    } else {
      this.lastError = String(word);
      replaceContent(body, alert(`The login ended with "${word}".`));
    }
    return true;
  }

  showPasswordForm(wrong) {
    const input = h("input", { type: "password", id: "server-password", name: "password", autocomplete: "current-password", required: true });
    const form = h("form", { class: "inline-form", onsubmit: (event) => {
      event.preventDefault();
      if (this.send({ op: "auth", pass: input.value })) {
        replaceContent(this.source.body, alert("Checking the password…", "info"));
      }
    } },
    h("label", { for: "server-password" }, "Backup service password"), input,
    h("button", { type: "submit" }, "Log in"));
    replaceContent(this.source.body,
      wrong ? alert("Wrong password. Try again.") : alert("The backup service wants its password.", "info"), form);
    input.focus();
  }

  // --- USB: drives and folders ---

  findDrives() {
    replaceContent(this.source.body, alert("Looking for USB drives and mounting them…", "info"));
    this.send({ op: "-m" });
  }

  onDrives(result) {
    const folders = [];
    for (const disk of Array.isArray(result) ? result : []) {
      for (const partition of Array.isArray(disk.partitions) ? disk.partitions : []) {
        if (partition.MOUNTPOINT) folders.push({ disk, partition, path: partition.MOUNTPOINT });
      }
    }
    const again = h("button", { type: "button", onclick: () => this.findDrives() }, "Look again");
    if (folders.length === 0) {
      replaceContent(this.source.body, alert("No backup folder found on any USB drive. Plug in the drive and look again."), again);
      return true;
    }
    const list = h("ul", { class: "choices" }, folders.map(({ disk, partition, path }) =>
      h("li", {}, h("button", { type: "button", onclick: () => this.openBackupFolder(path) },
        `${disk.Model || "USB drive"} ${partition.name}: ${path}`))));
    replaceContent(this.source.body, h("p", {}, "Backup folders found:"), list, again);
    return true;
  }

  openBackupFolder(path) {
    this.backupFolder = path;
    this.clientStep = this.nextStep(this.clientStep, "2. Choose the computer");
    replaceContent(this.clientStep.body, alert("Reading the backup folder…", "info"));
    this.send({ op: "-u", args: [path] });
  }

  // The client list: the backup server's clients, or a backup folder's sub-folders.
  onFolders(result) {
    const names = Array.isArray(result) ? result.map(String) : [];
    if (this.mode === "server") {
      this.clientStep = this.nextStep(this.clientStep, "2. Choose the computer");
    }
    if (!this.clientStep) return false;
    if (names.length === 0) {
      replaceContent(this.clientStep.body, alert("No computers have backups here."));
      return true;
    }
    const list = h("ul", { class: "choices" }, names.map((name) =>
      h("li", {}, h("button", { type: "button", onclick: () => this.chooseClient(name) }, name))));
    replaceContent(this.clientStep.body, list);
    return true;
  }

  chooseClient(name) {
    this.client = name;
    this.imageStep = this.nextStep(this.imageStep, `3. Choose the images of ${name}`);
    replaceContent(this.imageStep.body, alert("Listing the images…", "info"));
    const where = this.mode === "server" ? name : `${this.backupFolder}/${name}`;
    this.send({ op: "-e", args: [where] });
  }

  // Removes the steps after `existing` (a new choice invalidates them) and
  // returns it, or a new step when there is none yet.
  nextStep(existing, title) {
    if (existing && existing.element.isConnected) {
      while (existing.element.nextSibling) existing.element.nextSibling.remove();
      existing.heading.textContent = title;
      return existing;
    }
    const created = step(title);
    this.container.append(created.element);
    return created;
  }

  onListingError(message) {
    const word = String(message.msg ?? "");
    this.lastError = word;
    const target = this.imageStep || this.clientStep || this.source;
    replaceContent(target.body, alert(`${listingErrors[word] || "The agent reported an error."} (${word || "error"})`));
    return true;
  }

  onImages(result) {
    if (!this.imageStep) return false;
    this.images = Array.isArray(result) ? result : [];
    if (this.images.length === 0) {
      replaceContent(this.imageStep.body, alert("No backups found for this computer."));
      return true;
    }
    const rows = this.images.map((image, index) => {
      const id = `${this.mode}-image-${index}`;
      return h("li", {}, h("input", { type: "checkbox", id, value: image.path }),
        h("label", { for: id }, `${image.letter} — backed up ${image.backupdate}`));
    });
    const list = h("ul", { class: "checks" }, rows);
    const next = h("button", { type: "button", onclick: () => {
      const keys = [...list.querySelectorAll("input:checked")].map((box) => box.value);
      if (keys.length === 0) {
        list.after(alert("Choose at least one image."));
        return;
      }
      this.requestReport(keys);
    } }, "Check the disks");
    replaceContent(this.imageStep.body, h("p", {}, "Each entry is one volume of one backup point."), list, next);
    return true;
  }

  // --- report, EFI check, mapping ---

  requestReport(keys) {
    this.chosen = keys;
    this.reportStep = this.nextStep(this.reportStep, "4. Source and target disks");
    replaceContent(this.reportStep.body, alert("Reading the partition tables and this machine's disks…", "info"));
    this.report = null;
    this.espChecks = [];
    this.pendingEsp = [];
    this.send({ op: "-i", args: keys });
  }

  onReport(message) {
    if (!this.reportStep) return false;
    this.report = message;
    const body = this.reportStep.body;
    if (message.error === "1") {
      replaceContent(body, alert(`Not enough disks: the backup comes from ${message.source_count} disk(s), this machine has ${message.target_count}.`));
      return true;
    }
    if (message.error === "2") {
      const smaller = (message.target_size || []).map(formatBytes).join(", ");
      replaceContent(body, alert(`A source disk of ${formatBytes(message.source_size)} fits on no disk of this machine (too small: ${smaller}).`));
      return true;
    }
    if (message.error !== "0") {
      replaceContent(body, alert(`The agent could not compare the disks (error ${message.error}).`));
      return true;
    }
    if (!this.renderFit(body, message)) return true;
    // The EFI check works on the images just chosen, one at a time.
    this.pendingEsp = this.chosen.filter((key) => this.mode === "server" || key.includes("Image_C/"));
    this.espList = h("ul", { class: "esp" });
    this.startButton.before(h("h4", {}, "EFI system partition"), this.espList);
    this.askNextEsp();
    return true;
  }

  askNextEsp() {
    if (this.pendingEsp.length === 0) {
      if (this.espChecks.length === 0) this.espList.append(h("li", {}, "No system volume among the chosen images."));
      return;
    }
    this.send({ op: "-c", args: this.pendingEsp[0] });
  }

  onEspCheck(result) {
    if (!this.pendingEsp || this.pendingEsp.length === 0) return false;
    const key = this.pendingEsp.shift();
    this.espChecks.push({ key, result });
    const image = this.images.find((i) => i.path === key);
    const name = image ? `${image.letter} ${image.backupdate}` : key;
    const text = result === "ESPVOL-Present" ? "comes with an EFI system partition, which is restored too"
      : result === "ESPVOL-Absent" ? "has no EFI system partition" : "not a system volume";
    this.espList.append(h("li", {}, `${name}: ${text}`));
    this.askNextEsp();
    return true;
  }

  renderFit(body, report) {
    const targets = Array.isArray(report.TargetDrives) ? report.TargetDrives : [];
    const sources = Array.isArray(report.SourceDisk) ? report.SourceDisk : [];
    if (sources.length === 0) {
      replaceContent(body, alert("The chosen images describe no source disk; nothing can be restored."));
      return false;
    }
    const table = h("table", {},
      h("caption", {}, "Where each source disk goes"),
      h("thead", {}, h("tr", {}, h("th", { scope: "col" }, "Source disk"), h("th", { scope: "col" }, "Size"),
        h("th", { scope: "col" }, "Volumes"), h("th", { scope: "col" }, "Target disk"))),
      h("tbody", {}, sources.map((source, index) => {
        const id = `${this.mode}-target-${index}`;
        const select = h("select", { id, "data-source": index },
          h("option", { value: "" }, "Choose a disk…"),
          targets.map((target) => {
            const fits = Number(target.Size) >= Number(source.Size);
            // A disk in use is listed so that the user sees it, but cannot be picked.
            const why = target.InUse ? ` (in use: ${target.InUse})` : fits ? "" : " (too small)";
            return h("option", { value: target.Device, disabled: !fits || Boolean(target.InUse) },
              `${target.Device} — ${target.Model || "disk"} — ${formatBytes(target.Size)}${why}`);
          }));
        return h("tr", {}, h("th", { scope: "row" }, h("label", { for: id }, source.Name)),
          h("td", { title: `${source.Size} bytes` }, formatBytes(source.Size)),
          h("td", {}, (source.Drives || []).map((d) => this.volumeName(d)).join(", ")), h("td", {}, select));
      })));
    const targetList = h("table", {},
      h("caption", {}, "Disks of this machine"),
      h("thead", {}, h("tr", {}, h("th", { scope: "col" }, "Device"), h("th", { scope: "col" }, "Model"), h("th", { scope: "col" }, "Size"),
        h("th", { scope: "col" }, "State"))),
      h("tbody", {}, targets.map((t) => h("tr", {}, h("td", {}, t.Device), h("td", {}, t.Model || "—"),
        h("td", { title: `${t.Size} bytes` }, formatBytes(t.Size)),
        h("td", { class: t.InUse ? "in-use" : "" }, t.InUse ? `in use: ${t.InUse}` : "free")))));
    this.startButton = h("button", { type: "button", class: "danger", onclick: () => this.confirmRestore(table, sources, targets) },
      "Restore…");
    replaceContent(body, h("div", { class: "scroll" }, targetList), h("div", { class: "scroll" }, table), this.startButton);
    return true;
  }

  volumeName(key) {
    const image = this.images.find((i) => i.path === key);
    return image ? `${image.letter} (${image.backupdate})` : key;
  }

  async confirmRestore(table, sources, targets) {
    const plan = [];
    const used = new Set();
    for (const select of table.querySelectorAll("select")) {
      const source = sources[Number(select.dataset.source)];
      if (!select.value) {
        this.reportStep.body.append(alert(`Choose a target disk for ${source.Name}.`));
        select.focus();
        return;
      }
      if (used.has(select.value)) {
        this.reportStep.body.append(alert(`${select.value} is chosen twice; each source disk needs a disk of its own.`));
        select.focus();
        return;
      }
      used.add(select.value);
      plan.push({ source, target: targets.find((t) => t.Device === select.value) });
    }
    const content = h("div", {},
      h("p", {}, "Everything on these disks will be erased and replaced by the backup:"),
      h("ul", {}, plan.map(({ source, target }) => h("li", {},
        h("strong", {}, `${target.Model || "Disk"}, ${formatBytes(target.Size)}, ${target.Device}`),
        ` ← ${source.Name} (${(source.Drives || []).map((d) => this.volumeName(d)).join(", ")})`))),
      h("p", {}, "This cannot be undone."));
    const yes = await this.confirm("Erase and restore?", content, plan.length === 1 ? `Erase ${plan[0].target.Device} and restore` : "Erase these disks and restore");
    if (!yes) return;
    this.startRestore(plan);
  }

  // --- restore and progress ---

  startRestore(plan) {
    const request = { op: "-r", restorepoints: plan.map(({ source, target }) => ({ out: target.Device, in: source.Drives || [] })) };
    if (!this.send(request)) return;
    this.lastError = "";
    for (const button of this.container.querySelectorAll("button, input, select")) button.disabled = true;
    this.showProgressStep();
    this.progress.setSummary("Restoring… Do not switch the machine off.", "info");
    this.setRunning(true);
  }

  showProgressStep() {
    this.progressStep = this.nextStep(this.progressStep, "5. Restore");
    this.progressStep.element.classList.add("restore-run");
    const list = h("div");
    this.cancelButton = h("button", { type: "button", onclick: () => this.cancel() }, "Cancel the restore");
    replaceContent(this.progressStep.body, list, this.cancelButton);
    this.progress = new ProgressView(list);
    this.cancelRequested = false;
  }

  onRefused(message) {
    if (!this.progress) {
      this.showProgressStep();
      this.setRunning(true);
    }
    const target = String(message.target || "");
    const reason = String(message.reason || "");
    this.progress.refuse(String(message.key || ""), target, reason);
    this.lastError = `${target} was refused: ${reason}`;
    return true;
  }

  // The agent runs one restore at a time and lets none stop another: this
  // page's session waits, and the running restore is shown instead.
  onBusy() {
    if (!this.source) return false;
    this.waitingBehindRun = true;
    replaceContent(this.source.body, alert("A restore started elsewhere is running. It is shown below; this one begins once it has ended.", "info"));
    return true;
  }

  onProgress(progress) {
    if (!this.progress) {
      // A restore that this page did not start (or started before a reload).
      if (!this.waitingBehindRun) this.container.replaceChildren();
      this.showProgressStep();
      this.progressStep.element.prepend(alert("This restore was started elsewhere: on another page, another device, or before this page was loaded.", "info"));
      this.setRunning(true);
    }
    this.progress.update(progress);
    const outcome = this.progress.outcome(this.mode === "server");
    if (outcome === "success" && !this.cancelRequested) {
      this.finish("Restore finished: every drive reports SUCCESS.", "ok");
    } else if (outcome === "failed") {
      const why = this.lastError ? ` Last error from the agent: ${this.lastError}.`
        : " The agent sends no reason; its log has the details.";
      const rest = this.mode === "server" ? " The drives after it were not restored." : "";
      this.finish(`Restore failed: ${this.progress.failedDrives().join(", ")} reports ERROR.${rest}${why}`, "error");
    }
    return true;
  }

  cancel() {
    if (!this.send({ op: "cancel-restore" })) return;
    this.cancelRequested = true;
    this.cancelButton.disabled = true;
    this.progress.setSummary("Cancel requested: the agent stops after the partition it is writing.", "info");
  }

  onCancelled() {
    if (!this.progress) return false;
    if (this.running) {
      this.finish("Restore cancelled. The disk being written is incomplete; restore it again before using it.", "error");
    }
    return true;
  }

  finish(text, kind) {
    this.progress.setSummary(text, kind);
    if (this.cancelButton) this.cancelButton.remove();
    this.cancelButton = null;
    if (this.running) {
      this.setRunning(false);
      this.progressStep.body.append(h("button", { type: "button", onclick: () => this.begin() }, "Start another restore"));
    }
  }
}
