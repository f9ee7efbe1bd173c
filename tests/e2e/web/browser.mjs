// Drives the login and management pages in headless Chromium. Environment: BASE_URL,
// PLAYWRIGHT_MODULES (node_modules holding playwright-core), CHROMIUM, SHOTS, USER_DATA_DIR.
import assert from "node:assert/strict";
import { createRequire } from "node:module";
import path from "node:path";

const require = createRequire(path.join(process.env.PLAYWRIGHT_MODULES, "noop.js"));
const { chromium } = require("playwright-core");

const base = process.env.BASE_URL;
const shots = process.env.SHOTS;
const timeout = 15000;

function step(name) {
  console.log(`-- ${name}`);
}

async function expectText(page, selector, expected) {
  await page.waitForFunction(
    ([sel, want]) => document.querySelector(sel)?.textContent === want,
    [selector, expected], { timeout });
}

async function shoot(page, name) {
  await page.screenshot({ path: path.join(shots, `${name}.png`), fullPage: true });
}

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
page.on("request", (request) => {
  if (new URL(request.url()).pathname.startsWith("/api/")) {
    apiCalls.push(request.url());
  }
});
const pageErrors = [];
page.on("pageerror", (error) => pageErrors.push(error.message));
// The pages must run under their own security policy: any refused script or style shows here.
page.on("console", (message) => {
  if (message.type() === "error" && /Content Security Policy/.test(message.text())) {
    pageErrors.push(message.text());
  }
});

try {
  step("login page gives nothing away");
  await page.goto(base);
  assert.equal(await page.title(), "LarkSpire Edge");
  assert.equal(await page.inputValue("#u"), "");
  assert.equal(await page.inputValue("#p"), "");
  await expectText(page, "#loginBtn", "登录");
  await shoot(page, "login-zh");

  step("failed login in English shows the server's text");
  await page.click("#langBtn");
  await expectText(page, "#loginBtn", "Sign in");
  await expectText(page, "#langBtn", "中文");
  await page.fill("#u", "admin");
  await page.fill("#p", "wrong");
  await page.click("#loginBtn");
  await expectText(page, "#m", "账号或密码错误");
  await shoot(page, "login-en-failed");

  step("first login with the factory password opens on the password form");
  await page.fill("#p", "admin");
  await Promise.all([page.waitForNavigation(), page.click("#loginBtn")]);
  assert.equal(await page.title(), "LarkSpire Edge 管理");
  await expectText(page, "#pwdMsg", "请先修改默认密码。");
  await expectText(page, "#pageTitle", "账号安全");
  await expectText(page, "#ovDevice", "-");
  for (const [oldPassword, newPassword, answer] of [["wrong", "n3w-secret", "旧密码不正确"],
                                                    ["admin", "short", "新密码至少 8 位"],
                                                    ["admin", "n3w-secret", "密码已修改。"]]) {
    await page.fill("#oldPassword", oldPassword);
    await page.fill("#newPassword", newPassword);
    await page.click("#changePasswordBtn");
    await expectText(page, "#pwdMsg", answer);
  }
  await shoot(page, "password-changed-zh");
  await page.click("#navStatus");

  step("the status loads once the password is changed");
  await expectText(page, "#ovDevice", "D-1001");
  await expectText(page, "#ovName", "Warehouse Edge");
  await expectText(page, "#ovNic", "eth0");
  await expectText(page, "#ovHeartbeat", "正常");
  await expectText(page, "#pageTitle", "运行状态");
  assert.equal(await page.inputValue("#deviceSecret"), "k7Qp2xR9vLm4");
  await shoot(page, "overview-zh");

  step("gateway health panel: a red line with its hint for each fault");
  await page.waitForFunction(() => document.querySelectorAll("#healthRows li").length === 13,
                             null, { timeout });
  assert.equal(await page.locator("#healthRows li.bad").count(), 2);
  assert.match(await page.textContent("#healthRows li.bad >> nth=1"),
               /防火墙规则 FORWARD -i larkspire0 -o eth0 -j ACCEPT: missing.*30 秒内自动恢复/);
  assert.equal(await page.locator("#healthRows li.bad .fix").count(), 2);
  assert.equal(await page.locator("#healthRows li.good .fix").count(), 0);
  await page.locator("#healthPanel").screenshot({ path: path.join(shots, "health-zh.png") });

  step("language switch changes the heartbeat card without a request");
  const callsBefore = apiCalls.length;
  await page.click("#langBtn");
  await expectText(page, "#ovHeartbeat", "OK");
  await expectText(page, "#pageTitle", "Status");
  await page.click("#langBtn");
  await expectText(page, "#ovHeartbeat", "正常");
  await page.click("#langBtn");
  await expectText(page, "#ovHeartbeat", "OK");
  assert.equal(apiCalls.length, callsBefore, "switching the language sent a request");
  await shoot(page, "overview-en");
  assert.match(await page.textContent("#healthRows li.bad >> nth=0"),
               /Reverse-path filter all: 1.*Strict reverse-path filtering/);
  await page.locator("#healthPanel").screenshot({ path: path.join(shots, "health.png") });

  step("network view: save with blank lines and spaces");
  await page.click("#navNetwork");
  await expectText(page, "#pageTitle", "Network Sharing");
  assert.equal(await page.inputValue("#nic"), "eth0");
  assert.equal(await page.locator("#ifaceRows tr").count(), 2);
  await expectText(page, "#autoNets", "Automatically shared networks: 192.168.1.0/24, 172.16.0.0/16");
  await page.fill("#extra", "  10.20.0.0/16  \n\n   \n\t192.168.77.0/24 \n");
  const [saveRequest] = await Promise.all([
    page.waitForRequest((r) => r.url().endsWith("/api/config")),
    page.click("#saveNetwork"),
  ]);
  assert.deepEqual(saveRequest.postDataJSON(), {
    serverUrl: "http://hub.larkspire.local:31080",
    deviceName: "Warehouse Edge",
    networkInterfaceName: "eth0",
    additionalSharedNetworks: ["10.20.0.0/16", "192.168.77.0/24"],
  });
  await expectText(page, "#msg", "Saved. Restart the service to apply tunnel/routing changes.");
  await expectText(page, "#netMsg", "Saved. Restart the service to apply tunnel/routing changes.");
  await page.waitForFunction(() => document.querySelector("#extra").value ===
                             "10.20.0.0/16\n192.168.77.0/24", null, { timeout });
  await shoot(page, "network-en");
  await page.click("#langBtn");
  await expectText(page, "#pageTitle", "网络共享");
  await shoot(page, "network-zh");

  step("connectivity test ends with the exit line");
  await page.click("#navDiagnostics");
  assert.equal(await page.inputValue("#testIp"), "10.0.4.11");
  await page.fill("#testIp", "127.0.0.1");
  await page.click("#runTest");
  await page.waitForFunction(() => /\nexit=\d+$/.test(document.querySelector("#testOut").textContent),
                             null, { timeout: 30000 });
  await page.fill("#testIp", "10.0.0.1;reboot");
  await page.click("#runTest");
  await expectText(page, "#testOut", "invalid ip");

  step("log view");
  await page.click("#navLogs");
  await page.waitForFunction(() => document.querySelector("#logText").textContent
                             .includes("Config updated from web page."), null, { timeout });
  assert.match(await page.textContent("#logPath"), /^日志文件：\/.+\.log$/);

  step("a second browser holds its own session; signing out ends only that one");
  const other = await chromium.launch({ executablePath: process.env.CHROMIUM, headless: true,
                                        args: ["--no-sandbox", "--disable-gpu"] });
  try {
    const second = await (await other.newContext()).newPage();
    second.setDefaultTimeout(timeout);
    await second.goto(base);
    await second.fill("#u", "admin");
    await second.fill("#p", "n3w-secret");
    await Promise.all([second.waitForNavigation(), second.click("#loginBtn")]);
    await expectText(second, "#ovDevice", "D-1001");
    const mine = (await context.cookies()).find((c) => c.name === "larkspire_edge");
    const theirs = (await second.context().cookies()).find((c) => c.name === "larkspire_edge");
    assert.notEqual(mine.value, theirs.value);
    assert.equal(theirs.httpOnly, true);
    assert.equal(theirs.sameSite, "Strict");
    await Promise.all([second.waitForNavigation(), second.click("#logout")]);
    assert.equal(await second.title(), "LarkSpire Edge");
  } finally {
    await other.close();
  }
  await page.click("#navStatus");
  await page.click("#refresh");
  await expectText(page, "#ovDevice", "D-1001");
  assert.equal(await page.title(), "LarkSpire Edge 管理");

  step("restart service");
  await page.click("#navStatus");
  await page.click("#restartOverview");
  await expectText(page, "#msg", "正在重启，稍后自动刷新...");

  assert.deepEqual(pageErrors, [], "script errors on the page");
  console.log("browser scenario passed");
} finally {
  await context.close();
}
