// Headless chromium from Debian, driven through playwright-core from the
// runner's node_modules (NODE_PATH); CHROMIUM names the browser.
import { pathToFileURL } from "node:url";

const env = process.env;
const { chromium } = await import(pathToFileURL(`${env.NODE_PATH}/playwright-core/index.mjs`).href);

// A browser that reaches nothing but what the test serves it; `extraArgs`
// are added to its command line.
export function launchBrowser(extraArgs = []) {
  return chromium.launch({
    executablePath: env.CHROMIUM,
    args: [
      "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync",
      ...extraArgs,
    ],
  });
}
