// The access token in the browser, against an agent that needs it from every
// peer (run_token_page_test starts it with UI_TOKEN as its token).
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { launchBrowser } from "./browser.mjs";

const env = process.env;

let browser;

before(async () => {
  browser = await launchBrowser();
});

after(async () => {
  await browser?.close();
});

function withToken(token) {
  const url = new URL(env.UI_URL);
  url.searchParams.set("token", token);
  return url.href;
}

// Every address the tab's history holds, as the browser itself keeps them.
async function historyAddresses(page) {
  const session = await page.context().newCDPSession(page);
  const { entries } = await session.send("Page.getNavigationHistory");
  await session.detach();
  return entries.map((entry) => entry.url);
}

test("the token leaves the address bar and the history, and the page works after a reload", async () => {
  const context = await browser.newContext();
  const page = await context.newPage();
  page.on("pageerror", (error) => assert.fail(`script error on the page: ${error.message}`));
  const answer = await page.goto(withToken(env.UI_TOKEN));
  assert.equal(answer.status(), 200);
  await page.getByText("Connected to the agent.").waitFor();

  assert.doesNotMatch(page.url(), /token/, "the address bar still holds the token");
  const addresses = await historyAddresses(page);
  assert.ok(addresses.length > 0);
  for (const address of addresses) {
    assert.doesNotMatch(address, /token/, `the history holds ${address}`);
  }

  // Only the cookie carries the token now: the reloaded page and its
  // WebSocket get in with it alone.
  await page.reload();
  await page.getByText("Connected to the agent.").waitFor();
  assert.doesNotMatch(page.url(), /token/);
  assert.equal(await page.locator("body").getAttribute("data-connection"), "open");
  await context.close();
});

test("a page opened without a valid token says where to find it", async () => {
  for (const address of [env.UI_URL, withToken(`${env.UI_TOKEN}x`)]) {
    const context = await browser.newContext();
    const page = await context.newPage();
    const answer = await page.goto(address);
    assert.equal(answer.status(), 401, address);
    assert.match(await page.locator("body").innerText(), /the address with the token is shown on the machine's screen/i);
    assert.equal(await page.getByText("Connected to the agent.").count(), 0);
    await context.close();
  }
});
