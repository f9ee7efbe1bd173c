// Drives the login and management pages in headless Chromium. Environment: BASE_URL,
// PLAYWRIGHT_MODULES (node_modules holding playwright-core), CHROMIUM, SHOTS, USER_DATA_DIR.
import assert from "node:assert/strict";
import { createRequire } from "node:module";
import path from "node:path";

const require = createRequire(path.join(process.env.PLAYWRIGHT_MODULES, "noop.js"));
const { chromium } = require("playwright-core");
const timeout = 15000;

const context = await chromium.launchPersistentContext(process.env.USER_DATA_DIR, {
  executablePath: process.env.CHROMIUM,
  headless: true,
  args: ["--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
         "--disable-component-update", "--disable-sync"],
  viewport: { width: 1280, height: 800 },
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
const shoot = (name) => page.screenshot({ path: path.join(process.env.SHOTS, `${name}.png`),
                                          fullPage: true });
const step = (name) => console.log(`-- ${name}`);

try {
  step("login page gives nothing away; a failed login in English shows the server's text");
  await page.goto(process.env.BASE_URL);
  assert.equal(await page.inputValue("#u"), "");
  assert.equal(await page.inputValue("#p"), "");
  await expectText("#loginBtn", "登录");
  await page.click("#langBtn");
  await expectText("#loginBtn", "Sign in");
  await page.fill("#u", "admin");
  await page.fill("#p", "wrong");
  await page.click("#loginBtn");
  await expectText("#m", "账号或密码错误");

  step("the factory password opens on the password form, and nothing else loads");
  await page.fill("#p", "admin");
  await Promise.all([page.waitForNavigation(), page.click("#loginBtn")]);
  await expectText("#pwdMsg", "请先修改默认密码。");
  await expectText("#ovDevice", "-");
  for (const [oldPassword, newPassword, answer] of [["wrong", "n3w-secret", "旧密码不正确"],
                                                    ["admin", "short", "新密码至少 8 位"],
                                                    ["admin", "n3w-secret", "密码已修改。"]]) {
    await page.fill("#oldPassword", oldPassword);
    await page.fill("#newPassword", newPassword);
    await page.click("#changePasswordBtn");
    await expectText("#pwdMsg", answer);
  }
  await page.click("#navStatus");

  step("the status and the gateway health, a red line with its hint for each fault");
  await expectText("#ovDevice", "D-1001");
  await expectText("#ovHeartbeat", "正常");
  assert.equal(await page.inputValue("#deviceSecret"), "k7Qp2xR9vLm4");
  await page.waitForFunction(() => document.querySelectorAll("#healthRows li").length === 13,
                             null, { timeout });
  assert.equal(await page.locator("#healthRows li.bad .fix").count(), 2);
  assert.equal(await page.locator("#healthRows li.good .fix").count(), 0);
  assert.match(await page.textContent("#healthRows li.bad >> nth=1"),
               /FORWARD -i larkspire0 -o eth0 -j ACCEPT: missing.*30 秒内自动恢复/);
  await shoot("overview-zh");

  step("the language switch sends no request");
  const callsBefore = apiCalls.length;
  await page.click("#langBtn");
  await expectText("#ovHeartbeat", "OK");
  assert.match(await page.textContent("#healthRows li.bad >> nth=0"),
               /Reverse-path filter all: 1.*Strict reverse-path filtering/);
  assert.equal(apiCalls.length, callsBefore, "switching the language sent a request");
  await shoot("overview-en");

  step("network view: save with blank lines and spaces");
  await page.click("#navNetwork");
  await expectText("#autoNets", "Automatically shared networks: 192.168.1.0/24, 172.16.0.0/16");
  await page.fill("#extra", "  10.20.0.0/16  \n\n   \n\t192.168.77.0/24 \n");
  const [save] = await Promise.all([
    page.waitForRequest((r) => r.url().endsWith("/api/config")),
    page.click("#saveNetwork"),
  ]);
  assert.deepEqual(save.postDataJSON().additionalSharedNetworks, ["10.20.0.0/16", "192.168.77.0/24"]);
  await expectText("#netMsg", "Saved. Restart the service to apply tunnel/routing changes.");
  await shoot("network-en");

  step("connectivity test: the exit line, and a refused address");
  await page.click("#navDiagnostics");
  await page.fill("#testIp", "127.0.0.1");
  await page.click("#runTest");
  await page.waitForFunction(() => /\nexit=\d+$/.test(document.querySelector("#testOut").textContent),
                             null, { timeout: 30000 });
  await page.fill("#testIp", "10.0.0.1;reboot");
  await page.click("#runTest");
  await expectText("#testOut", "invalid ip");

  step("log view, then restart");
  await page.click("#navLogs");
  await page.waitForFunction(() => document.querySelector("#logText").textContent
                             .includes("Config updated from web page."), null, { timeout });
  await page.click("#navStatus");
  await page.click("#restartOverview");
  await expectText("#msg", "Restarting. Refreshing soon...");
  assert.deepEqual(pageErrors, [], "script errors on the page");
  console.log("browser scenario passed");
} finally {
  await context.close();
}
