// The agent's page in headless chromium, as a user drives it. run_page_tests
// prepares the agent, the backup service and the rig disks, passes them in
// UI_* variables, and checks the restored bytes afterwards.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { createServer } from "node:http";
import { readFileSync } from "node:fs";
import { launchBrowser } from "./browser.mjs";

const env = process.env;
const restoreTimeout = 240_000;

let browser;
let shotNumber = 0;

before(async () => {
  // A site of its own for the foreign-page test, served from this machine.
  browser = await launchBrowser(["--host-resolver-rules=MAP foreign.test 127.0.0.1"]);
});

after(async () => {
  await browser?.close();
});

async function openPage(width = 1100) {
  const context = await browser.newContext({ viewport: { width, height: 900 } });
  const page = await context.newPage();
  page.on("pageerror", (error) => assert.fail(`script error on the page: ${error.message}`));
  await page.goto(env.UI_URL);
  await page.getByText("Connected to the agent.").waitFor();
  return page;
}

// A phone must not need sideways scrolling at any step.
async function assertNoOverflow(page, where) {
  const { scrollWidth, innerWidth } = await page.evaluate(() =>
    ({ scrollWidth: document.documentElement.scrollWidth, innerWidth: window.innerWidth }));
  assert.ok(scrollWidth <= innerWidth, `${where}: the page is ${scrollWidth} px wide in a ${innerWidth} px window`);
}

async function shot(page, name) {
  shotNumber += 1;
  await page.screenshot({ path: `${env.UI_SHOTS}/${String(shotNumber).padStart(2, "0")}-${name}.png`, fullPage: true });
}

// From the image list to the confirmed restore onto `target`.
async function chooseImagesAndConfirm(page, target, name) {
  const boxes = page.getByRole("checkbox");
  await boxes.first().waitFor();
  assert.equal(await boxes.count(), 2, "two images: drives E and C");
  for (const box of await boxes.all()) await box.check();
  await shot(page, `${name}-images`);
  await page.getByRole("button", { name: "Check the disks" }).click();

  const select = page.getByLabel("Disk 0");
  await select.waitFor({ timeout: 60_000 });
  await page.getByText("EFI system partition").first().waitFor();
  // A target too small or the wrong disk must not be offered silently: the
  // choice names the device, and only the chosen one is confirmed.
  // A disk with a mounted partition is shown with the reason, not offered.
  const busy = select.locator(`option[value="${env.UI_BUSY}"]`);
  assert.equal(await busy.isDisabled(), true, "the disk in use cannot be chosen");
  assert.match(await busy.innerText(), /in use: .*mounted/);
  await select.selectOption(target);
  await shot(page, `${name}-report`);
  await assertNoOverflow(page, `${name}: the disk report`);
  await page.getByRole("button", { name: "Restore…" }).click();

  const dialog = page.getByRole("dialog");
  await dialog.waitFor();
  const text = await dialog.innerText();
  assert.match(text, new RegExp(target.replaceAll("/", "\\/")), "the confirmation names the device");
  assert.match(text, /UI Target/, "the confirmation names the model");
  assert.match(text, /80\.0 MiB/, "the confirmation gives the size");
  assert.match(text, /erased/);
  await shot(page, `${name}-confirm`);
  await dialog.getByRole("button", { name: `Erase ${target} and restore` }).click();
}

async function logInAndChooseClient(page, name, { wrongFirst }) {
  await page.getByRole("button", { name: "From the backup server" }).click();
  const password = page.getByLabel("Backup service password");
  await password.waitFor({ timeout: 60_000 });
  if (wrongFirst) {
    await password.fill(env.UI_WRONG_PASSWORD);
    await page.getByRole("button", { name: "Log in" }).click();
    await page.getByText("Wrong password. Try again.").waitFor({ timeout: 30_000 });
    await shot(page, `${name}-wrong-password`);
  }
  await page.getByLabel("Backup service password").fill(env.UI_PASSWORD);
  await page.getByRole("button", { name: "Log in" }).click();
  await page.getByText("Logged in to the backup service.").waitFor({ timeout: 30_000 });
  await page.getByRole("button", { name: env.UI_CLIENT, exact: true }).click();
}

// Follows the summary line until the restore ends, failing if the page ever
// claims success while a drive has not reported "SUCCESS".
async function waitForEnd(page) {
  const summary = page.locator("#server .summary, #usb .summary").filter({ hasText: /./ }).first();
  const deadline = Date.now() + restoreTimeout;
  let sawProgress = false;
  while (Date.now() < deadline) {
    const text = await summary.innerText().catch(() => "");
    const states = await page.locator(".progress-row .state").allInnerTexts();
    if (states.some((s) => /%$/.test(s))) sawProgress = true;
    if (/finished/.test(text)) {
      assert.ok(states.length > 0 && states.every((s) => s === "SUCCESS"), `done with states ${states}`);
      return { text, sawProgress };
    }
    if (/failed|cancelled/i.test(text)) return { text, sawProgress };
    await page.waitForTimeout(250);
  }
  assert.fail("the restore did not end in time");
}

test("server restore: a wrong password, then the right one, to SUCCESS", async () => {
  const page = await openPage();
  await shot(page, "server-start");
  await logInAndChooseClient(page, "server", { wrongFirst: true });
  await chooseImagesAndConfirm(page, env.UI_TARGET1, "server");
  await page.locator(".progress-row").first().waitFor();
  await shot(page, "server-progress");

  // A second page, narrow as a phone, shows this restore and offers no other.
  const second = await openPage(360);
  await second.locator(".progress-row").first().waitFor();
  await second.getByText(/started elsewhere/).waitFor();
  assert.ok(await second.getByRole("button", { name: "From a USB drive" }).isDisabled(), "a second restore can be started");
  assert.equal(await second.getByRole("button", { name: "Start another restore" }).count(), 0);
  await assertNoOverflow(second, "a second page during the restore");
  await shot(second, "server-second-page");

  // Rebooting under the restore is asked about in so many words; declined, nothing is sent.
  await second.getByRole("button", { name: "Machine" }).click();
  await second.getByRole("button", { name: "Reboot…" }).click();
  const question = second.getByRole("dialog");
  await question.waitFor();
  assert.match(await question.innerText(), /A restore is running; the disk will be incomplete\. Reboot anyway\?/);
  await question.getByRole("button", { name: "Cancel" }).click();
  await second.getByText("the restore goes on").waitFor();

  await second.reload();
  await second.locator(".progress-row").first().waitFor({ timeout: 30_000 });
  const end = await waitForEnd(page);
  await shot(page, "server-done");
  assert.match(end.text, /Restore finished: every drive reports SUCCESS/);
  assert.deepEqual(await page.locator(".progress-row").evaluateAll((rows) => rows.map((r) => r.dataset.drive).sort()),
    ["C", "E"]);
  const seenElsewhere = await waitForEnd(second);
  assert.match(seenElsewhere.text, /Restore finished/, "the reloaded page saw the end");
  await second.getByRole("button", { name: "Start another restore" }).waitFor();
  await second.context().close();
  await page.context().close();
});

test("USB restore: the backup folder on the drive, to SUCCESS", async () => {
  const page = await openPage(360);
  await page.getByRole("button", { name: "From a USB drive" }).click();
  const folder = page.getByRole("button", { name: /TarnbyBMR_Backups/ });
  await folder.waitFor({ timeout: 60_000 });
  await shot(page, "usb-drives");
  await folder.click();
  await page.getByRole("button", { name: env.UI_CLIENT, exact: true }).click();
  await chooseImagesAndConfirm(page, env.UI_TARGET2, "usb");
  const end = await waitForEnd(page);
  await shot(page, "usb-done");
  assert.match(end.text, /Restore finished: every drive reports SUCCESS/);
  await page.context().close();
});

test("cancel: the restore stops, and the page does not call it done", async () => {
  // As narrow as a phone.
  const page = await openPage(360);
  await logInAndChooseClient(page, "cancel", { wrongFirst: false });
  await chooseImagesAndConfirm(page, env.UI_TARGET3, "cancel");
  await page.locator(".progress-row").first().waitFor();
  await page.getByRole("button", { name: "Cancel the restore" }).click();
  // The acknowledgement may follow at once, while a restore tool reports.
  await page.getByText(/Cancel requested|Restore cancelled/).waitFor();
  await shot(page, "cancel-requested");
  const end = await waitForEnd(page);
  await shot(page, "cancel-done");
  assert.match(end.text, /cancelled/);
  assert.doesNotMatch(end.text, /finished/);
  await page.context().close();
});

test("a page of another origin cannot open the WebSocket", async () => {
  const agentUrl = new URL(env.UI_URL);
  const markup = `<!doctype html><title>waiting</title><script>
    const socket = new WebSocket("ws://${agentUrl.host}/backend");
    socket.onopen = () => { document.title = "opened"; };
    socket.onclose = () => { if (document.title === "waiting") document.title = "refused"; };
  </script>`;
  const server = createServer((request, response) => {
    response.writeHead(200, { "Content-Type": "text/html" });
    response.end(markup);
  });
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  const { port } = server.address();
  try {
    const context = await browser.newContext();
    const page = await context.newPage();
    await page.goto(`http://foreign.test:${port}/`);
    await page.waitForFunction(() => document.title !== "waiting", null, { timeout: 15_000 });
    assert.equal(await page.title(), "refused");
    const log = readFileSync(env.UI_AGENT_LOG, "utf8");
    assert.match(log, new RegExp(`Refused a request from .*Origin "http://foreign\\.test:${port}"`));
    await context.close();
  } finally {
    server.close();
  }
});
