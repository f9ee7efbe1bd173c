// The login and management pages in headless Chromium against the web harness, up to the restart
// the page asks for. Environment: HARNESS, SCRATCH, PLAYWRIGHT_MODULES, CHROMIUM.
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { once } from "node:events";
import fs from "node:fs";
import { createRequire } from "node:module";
import path from "node:path";
import { setTimeout as sleep } from "node:timers/promises";

const env = process.env;
const { chromium } = createRequire(path.join(env.PLAYWRIGHT_MODULES, "noop.js"))("playwright-core");
const scratch = (name) => path.join(env.SCRATCH, name);
const timeout = 15000;

fs.writeFileSync(scratch("edge.json"), JSON.stringify({
  serverUrl: "http://hub.larkspire.local:31080", deviceNumber: "D-1001",
  deviceSecret: "k7Qp2xR9vLm4", deviceName: "Warehouse Edge", networkInterfaceName: "eth0",
  sharedNetworks: ["192.168.1.0/24", "172.16.0.0/16"], additionalSharedNetworks: ["172.16.0.0/16"],
}));
fs.writeFileSync(scratch("state.json"), JSON.stringify(
    { heartbeatAccepted: true, message: "ok", updatedAtUnix: Math.floor(Date.now() / 1000) }));
const output = fs.openSync(scratch("harness.out"), "w");
const harness = spawn(env.HARNESS, ["--config", scratch("edge.json"), "--workdir", scratch("work"),
                                    "--state", scratch("state.json"), "--port-file",
                                    scratch("port"), "--health-sample", "1"],
                      { stdio: ["ignore", output, output] });
const exited = once(harness, "exit");
for (let i = 0; i < 100 && !fs.existsSync(scratch("port")); ++i) await sleep(100);
const context = await chromium.launchPersistentContext(scratch("chromium"), {
  executablePath: env.CHROMIUM,
  headless: true,
  args: ["--disable-gpu", "--disable-sync"], // the driver adds the other quiet, unsandboxed flags
});
const page = context.pages()[0] ?? await context.newPage();
page.setDefaultTimeout(timeout);
const apiCalls = [];
page.on("request", (r) => new URL(r.url()).pathname.startsWith("/api/") && apiCalls.push(r.url()));
const pageErrors = [];
page.on("pageerror", (error) => pageErrors.push(error.message));
// The pages must run under their own security policy: any refused script or style shows here.
page.on("console", (m) => m.type() === "error" && /Content Security Policy/.test(m.text()) &&
        pageErrors.push(m.text()));

const expectText = (selector, expected) => page.waitForFunction(
    ([sel, want]) => document.querySelector(sel)?.textContent === want, [selector, expected],
    { timeout });

try {
  await page.goto(`http://127.0.0.1:${fs.readFileSync(scratch("port"), "utf8").trim()}/`);
  assert.equal(await page.inputValue("#u"), "");
  assert.equal(await page.inputValue("#p"), "");
  await page.fill("#u", "admin");
  await page.fill("#p", "wrong");
  await page.click("#loginBtn");
  await expectText("#m", "账号或密码错误");

  await page.fill("#p", "admin");
  await Promise.all([page.waitForNavigation(), page.click("#loginBtn")]);
  await expectText("#pwdMsg", "请先修改默认密码。");
  await expectText("#ovDevice", "-");
  await page.fill("#oldPassword", "admin");
  await page.fill("#newPassword", "n3w-secret");
  await page.click("#changePasswordBtn");
  await expectText("#pwdMsg", "密码已修改。");
  await page.click("#navStatus");

  await expectText("#ovDevice", "D-1001");
  await expectText("#ovHeartbeat", "正常");
  assert.equal(await page.inputValue("#deviceSecret"), "k7Qp2xR9vLm4");
  await page.waitForFunction(() => document.querySelectorAll("#healthRows li").length === 5,
                             null, { timeout });
  assert.equal(await page.locator("#healthRows li.bad .fix").count(), 2);
  assert.equal(await page.locator("#healthRows li.good .fix").count(), 0);
  assert.match(await page.textContent("#healthRows li.bad >> nth=1"),
               /FORWARD -i larkspire0 -o eth0 -j ACCEPT: missing.*30 秒内自动恢复/);

  const callsBefore = apiCalls.length;
  await page.click("#langBtn");
  await expectText("#ovHeartbeat", "OK");
  assert.match(await page.textContent("#healthRows li.bad >> nth=0"),
               /Reverse-path filter all: 1.*Strict reverse-path filtering/);
  assert.equal(apiCalls.length, callsBefore, "switching the language sent a request");

  await page.click("#navNetwork");
  await expectText("#autoNets", "Automatically shared networks: 192.168.1.0/24, 172.16.0.0/16");
  await page.fill("#extra", "  10.20.0.0/16  \n\n   \n\t192.168.77.0/24 \n");
  await page.click("#saveNetwork");
  await expectText("#netMsg", "Saved. Restart the service to apply tunnel/routing changes.");

  await page.click("#navLogs");
  await page.waitForFunction(() => document.querySelector("#logText").textContent
                             .includes("Config updated from web page."), null, { timeout });
  await page.click("#navStatus");
  await page.click("#restartOverview");
  await expectText("#msg", "Restarting. Refreshing soon...");
  assert.deepEqual(pageErrors, [], "script errors on the page");
  const [status] = await Promise.race([exited, sleep(10000).then(() => ["still running"])]);
  assert.equal(status, 0, "the restart request did not end the process with status 0");
  assert.match(fs.readFileSync(scratch("harness.out"), "utf8"),
               /INFO Restart requested from web config page\./);
  const saved = JSON.parse(fs.readFileSync(scratch("edge.json"), "utf8"));
  assert.deepEqual(saved.additionalSharedNetworks, ["10.20.0.0/16", "192.168.77.0/24"]);
  assert.equal(saved.webPassword, "n3w-secret");
  console.log("browser scenario passed");
} finally {
  await context.close();
  harness.kill();
}
