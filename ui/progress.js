// Per-drive progress of a running restore, from the agent's "-p" messages.
// A drive is shown as done only when the agent says "SUCCESS"; the agent
// reports percentages, so bytes are not shown, and the time left is an
// estimate from how fast the percentage has moved.
import { h, formatDuration, driveName } from "./dom.js";

export class ProgressView {
  constructor(element) {
    this.element = element;
    this.rows = new Map();
    this.startedAt = new Map();
    this.statuses = {};
    this.refusals = new Map();
    this.summary = h("p", { class: "summary", role: "status", "aria-live": "polite" });
    this.table = h("div", { class: "progress-list" });
    element.replaceChildren(this.summary, this.table);
  }

  // `progress` is the agent's object of drive -> status, or null.
  update(progress, now = Date.now()) {
    this.statuses = progress && typeof progress === "object" ? progress : {};
    for (const [key, status] of Object.entries(this.statuses)) {
      let row = this.rows.get(key);
      if (!row) {
        row = this.makeRow(key);
        this.rows.set(key, row);
        this.table.append(row.element);
      }
      this.showStatus(key, row, String(status), now);
    }
  }

  // The agent's reason for refusing a drive's target disk, shown beside the
  // drive's ERROR.
  refuse(key, target, reason) {
    this.refusals.set(key, `${target}: ${reason}`);
    let row = this.rows.get(key);
    if (!row) {
      row = this.makeRow(key);
      this.rows.set(key, row);
      this.table.append(row.element);
    }
    row.detail.textContent = this.refusals.get(key);
  }

  makeRow(key) {
    const label = `${driveName(key)}`;
    const bar = h("progress", { max: "100", "aria-label": label });
    const state = h("span", { class: "state" });
    const detail = h("span", { class: "detail" });
    const element = h("div", { class: "progress-row", "data-drive": key },
      h("span", { class: "drive" }, label), bar, state, detail);
    return { element, bar, state, detail };
  }

  showStatus(key, row, status, now) {
    row.element.dataset.status = status;
    const percent = /^(\d+(?:\.\d+)?)%$/.exec(status);
    if (status === "SUCCESS") {
      row.bar.value = 100;
      row.state.textContent = "SUCCESS";
      row.detail.textContent = "";
    } else if (status === "ERROR") {
      row.bar.removeAttribute("value");
      row.bar.classList.add("failed");
      row.state.textContent = "ERROR";
      row.detail.textContent = this.refusals.get(key) || "";
    } else if (percent) {
      const value = Math.min(100, Number(percent[1]));
      if (!this.startedAt.has(key)) this.startedAt.set(key, { time: now, value });
      row.bar.value = value;
      row.state.textContent = `${value}%`;
      row.detail.textContent = this.timing(key, value, now);
    } else if (status === "") {
      row.bar.value = 0;
      row.state.textContent = "waiting";
      row.detail.textContent = "";
    } else {
      row.state.textContent = status;
    }
  }

  timing(key, value, now) {
    const start = this.startedAt.get(key);
    const elapsed = (now - start.time) / 1000;
    const moved = value - start.value;
    let text = `running ${formatDuration(elapsed)}`;
    if (moved > 0 && elapsed > 2 && value < 100) {
      text += `, about ${formatDuration(((100 - value) * elapsed) / moved)} left`;
    }
    return text;
  }

  // "running", "success" (every drive "SUCCESS") or "failed" (some drive
  // "ERROR"). With `stopsAtFailure` (the backup server's restore, which
  // ends at its first failure) an "ERROR" ends the restore at once;
  // otherwise the agent goes on with the next drives, and the restore has
  // ended only when every drive has reported its end.
  outcome(stopsAtFailure) {
    const values = Object.values(this.statuses).map(String);
    const failed = values.includes("ERROR");
    if (failed && (stopsAtFailure || values.every((v) => v === "SUCCESS" || v === "ERROR"))) return "failed";
    if (values.length > 0 && values.every((v) => v === "SUCCESS")) return "success";
    return "running";
  }

  failedDrives() {
    return Object.entries(this.statuses).filter(([, v]) => v === "ERROR").map(([k]) => driveName(k));
  }

  setSummary(text, kind) {
    this.summary.textContent = text;
    this.summary.className = `summary ${kind || ""}`;
  }
}
