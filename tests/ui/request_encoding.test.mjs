// What the page sends: requests the agent's external-drive session cannot
// mistake for another kind (it looks for "-m", "-i", ... anywhere in the
// text), and the WebSocket address with the page's access token.
import { test } from "node:test";
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";

// Loaded as a module whatever version of node reads the page's plain .js.
const source = readFileSync(new URL("../../ui/connection.js", import.meta.url), "utf8");
const { encodeRequest, agentAddress, addressWithoutToken } = await import(`data:text/javascript,${encodeURIComponent(source)}`);

test("a path holding the letters of another request keeps its own kind", () => {
  const kinds = ["start-over", "-m", "-i", "-u", "-e", "-c", "-r"];
  const path = "/mnt/sdb1_10_00_00/TarnbyBMR_Backups/pc-machine-imaging-start-over/250115-1030_Image_C/x.vhd";
  for (const [op, request] of [
    ["-e", { op: "-e", args: [path] }],
    ["-c", { op: "-c", args: path }],
    ["-r", { op: "-r", restorepoints: [{ out: "/dev/sd-i", in: [path] }] }],
  ]) {
    const text = encodeRequest(request);
    assert.deepEqual(JSON.parse(text), request, "the agent reads back what was meant");
    assert.equal(kinds.find((kind) => text.includes(kind)), op, text);
  }
  assert.equal(encodeRequest({ op: "-m" }), '{"op":"-m"}');
  assert.deepEqual(JSON.parse(encodeRequest({ op: "auth", pass: "a-\"b\\" })), { op: "auth", pass: "a-\"b\\" });
});

test("the WebSocket goes to the page's own host and carries its token", () => {
  const at = (href) => agentAddress(new URL(href));
  assert.equal(at("http://192.0.2.7:12209/"), "ws://192.0.2.7:12209/backend");
  assert.equal(at("http://[fd00::2]:12209/?token=a%20b%26c"), "ws://[fd00::2]:12209/backend?token=a%20b%26c");
  assert.equal(at("https://console.example.org/restore/"), "wss://console.example.org/backend");
  assert.equal(at("file:///home/tech/ui/index.html"), "ws://127.0.0.1:12209/backend");
});

test("the token leaves the page's address and nothing else does", () => {
  assert.equal(addressWithoutToken("http://192.0.2.7:12209/?token=abc"), "http://192.0.2.7:12209/");
  assert.equal(addressWithoutToken("http://192.0.2.7:12209/?lang=en&token=a%20b#disks"), "http://192.0.2.7:12209/?lang=en#disks");
  assert.equal(addressWithoutToken("http://192.0.2.7:12209/?lang=en"), null);
});
