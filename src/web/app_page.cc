#include "web/pages.h"

namespace larkspire {
namespace {

constexpr const char* kAppPage = R"PAGE(<!doctype html>
<html lang="zh-CN">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width,initial-scale=1">
<title>LarkSpire Edge 管理</title>
<style>
*{box-sizing:border-box}
html,body{margin:0;min-height:100%}
body{background:#eef2f6;color:#1f2937;font-family:Arial,"Microsoft YaHei",sans-serif;font-size:14px}
button{border:0;border-radius:6px;padding:9px 16px;font-size:14px;cursor:pointer;color:#fff;
  background:#475569;font-family:inherit}
button.primary{background:#2563eb}
button.danger{background:#b91c1c}
button:hover{filter:brightness(1.1)}
.layout{display:grid;grid-template-columns:238px 1fr;min-height:100vh}
.side{background:#172033;color:#e2e8f0}
.brand{height:64px;display:flex;align-items:center;padding:0 22px;font-size:19px;font-weight:bold;
  color:#fff;border-bottom:1px solid rgba(255,255,255,.08)}
.side nav{display:flex;flex-direction:column;padding:12px}
.nav{display:block;width:100%;text-align:left;margin:2px 0;padding:11px 14px;background:transparent;
  color:#cbd5e1}
.nav:hover{background:rgba(255,255,255,.06)}
.nav.active{background:#2563eb;color:#fff}
.main{min-width:0;display:flex;flex-direction:column}
.top{height:64px;display:flex;align-items:center;justify-content:space-between;padding:0 24px;
  background:#fff;border-bottom:1px solid #d7dee8}
.top h1{margin:0;font-size:19px}
.top .actions{display:flex;gap:8px}
.content{padding:24px}
.hidden{display:none}
.cards{display:grid;grid-template-columns:repeat(4,1fr);gap:16px;margin-bottom:16px}
.card,.panel{background:#fff;border:1px solid #d7dee8;border-radius:6px}
.card{padding:16px 18px}
.card .label{color:#64748b;font-size:13px}
.card .value{margin-top:8px;font-size:20px;font-weight:bold;overflow-wrap:anywhere}
.value.good{color:#15803d}
.value.wait{color:#b45309}
.panel{padding:20px 22px;margin-bottom:16px}
.panel h2{margin:0 0 16px;font-size:16px}
label{display:block;margin:12px 0 6px;font-weight:bold}
input,select,textarea{width:100%;padding:9px 11px;border:1px solid #d7dee8;border-radius:6px;
  font-size:14px;font-family:inherit;background:#fff;color:#1f2937}
input:focus,select:focus,textarea:focus{outline:2px solid #2563eb;border-color:#2563eb}
textarea{min-height:120px;resize:vertical}
.mono,textarea{font-family:Consolas,Menlo,monospace}
.row{display:flex;gap:8px}
.row input{flex:1}
.grid2{display:grid;grid-template-columns:1fr 1fr;gap:0 20px}
.toolbar{display:flex;gap:8px;margin-top:18px}
.hint{margin-top:8px;color:#64748b;overflow-wrap:anywhere}
.msg{min-height:20px;margin-top:12px}
.msg.ok{color:#15803d}
.msg.error{color:#b91c1c}
table{width:100%;border-collapse:collapse}
th,td{text-align:left;padding:9px 10px;border-bottom:1px solid #d7dee8}
th{color:#64748b;font-weight:normal}
.out{margin:14px 0 0;padding:14px;min-height:80px;background:#0b1020;color:#dbeafe;border-radius:6px;
  font-family:Consolas,Menlo,monospace;font-size:13px;white-space:pre-wrap;overflow-wrap:anywhere}
#logText{max-height:520px;overflow:auto}
.health{list-style:none;margin:0;padding:0}
.health li{padding:8px 0;border-bottom:1px solid #d7dee8}
.health li:last-child{border-bottom:0}
.health .dot{display:inline-block;width:10px;height:10px;border-radius:50%;margin-right:8px;
  background:#15803d}
.health .bad .dot{background:#b91c1c}
.health .bad .what{color:#b91c1c;font-weight:bold}
.health .subject{font-family:Consolas,Menlo,monospace;font-size:13px;overflow-wrap:anywhere}
.health .fix{margin:4px 0 0 18px;color:#64748b;font-size:13px}
@media (max-width:900px){
  .layout,.cards,.grid2{grid-template-columns:1fr}
}
</style>
</head>
<body>
<div class="layout">
  <aside class="side">
    <div class="brand">LarkSpire Edge</div>
    <nav>
      <button class="nav active" id="navStatus" data-page="overview" data-i18n="navStatus"></button>
      <button class="nav" id="navNetwork" data-page="network" data-i18n="navNetwork"></button>
      <button class="nav" id="navDiagnostics" data-page="diagnostics" data-i18n="navDiagnostics"></button>
      <button class="nav" id="navAccount" data-page="account" data-i18n="navAccount"></button>
      <button class="nav" id="navLogs" data-page="logs" data-i18n="navLogs"></button>
    </nav>
  </aside>
  <div class="main">
    <header class="top">
      <h1 id="pageTitle"></h1>
      <div class="actions">
        <button id="langBtn" type="button"></button>
        <button id="refresh" class="primary" type="button" data-i18n="refresh"></button>
        <button id="logout" type="button" data-i18n="logout"></button>
      </div>
    </header>
    <div class="content">
      <section id="overview" class="view">
        <div class="cards">
          <div class="card"><div class="label" data-i18n="deviceNumber"></div><div class="value" id="ovDevice">-</div></div>
          <div class="card"><div class="label" data-i18n="deviceName"></div><div class="value" id="ovName">-</div></div>
          <div class="card"><div class="label" data-i18n="sharedNic"></div><div class="value" id="ovNic">-</div></div>
          <div class="card"><div class="label" data-i18n="heartbeat"></div><div class="value" id="ovHeartbeat">-</div></div>
        </div>
        <div class="panel" id="healthPanel">
          <h2 data-i18n="gatewayHealth"></h2>
          <div id="healthNote" class="hint hidden"></div>
          <ul id="healthRows" class="health"></ul>
        </div>
        <div class="panel">
          <h2 data-i18n="accessInfo"></h2>
          <label for="deviceSecret" data-i18n="accessKey"></label>
          <div class="row">
            <input id="deviceSecret" class="mono" readonly>
            <button id="copyKey" type="button" data-i18n="copyKey"></button>
          </div>
          <div class="grid2">
            <div><label for="serverUrl" data-i18n="serverUrl"></label><input id="serverUrl"></div>
            <div><label for="deviceName" data-i18n="deviceName"></label><input id="deviceName"></div>
            <div><label for="hubCaFile" data-i18n="hubCaFile"></label><input id="hubCaFile" class="mono" readonly></div>
            <div><label for="hubCertSha256" data-i18n="hubCertSha256"></label><input id="hubCertSha256" class="mono" readonly></div>
          </div>
          <div class="toolbar">
            <button class="primary save" id="saveOverview" type="button" data-i18n="save"></button>
            <button class="danger restart" id="restartOverview" type="button" data-i18n="restart"></button>
          </div>
          <div id="msg" class="msg"></div>
        </div>
      </section>
      <section id="network" class="view hidden">
        <div class="panel">
          <h2 data-i18n="networkTitle"></h2>
          <div class="grid2">
            <div>
              <label for="nic" data-i18n="sharedInterface"></label>
              <select id="nic"></select>
              <div id="autoNets" class="hint"></div>
            </div>
            <div>
              <label for="extra" data-i18n="extraNetworks"></label>
              <textarea id="extra" placeholder="172.16.0.0/16&#10;192.168.50.0/24"></textarea>
            </div>
          </div>
          <div class="toolbar">
            <button class="primary save" id="saveNetwork" type="button" data-i18n="save"></button>
            <button class="danger restart" id="restartNetwork" type="button" data-i18n="restart"></button>
          </div>
          <div id="netMsg" class="msg"></div>
        </div>
        <div class="panel">
          <h2 data-i18n="detectedIfaces"></h2>
          <table>
            <thead><tr><th data-i18n="interface"></th><th data-i18n="network"></th></tr></thead>
            <tbody id="ifaceRows"></tbody>
          </table>
        </div>
      </section>
      <section id="diagnostics" class="view hidden">
        <div class="panel">
          <h2 data-i18n="ipTest"></h2>
          <label for="testIp" data-i18n="testIp"></label>
          <div class="row">
            <input id="testIp" value="10.0.4.11">
            <button id="runTest" class="primary" type="button" data-i18n="runTest"></button>
          </div>
          <pre id="testOut" class="out"></pre>
        </div>
      </section>
      <section id="account" class="view hidden">
        <div class="panel">
          <h2 data-i18n="changePassword"></h2>
          <div class="grid2">
            <div><label for="oldPassword" data-i18n="oldPassword"></label><input id="oldPassword" type="password" autocomplete="current-password"></div>
            <div><label for="newPassword" data-i18n="newPassword"></label><input id="newPassword" type="password" autocomplete="new-password"></div>
          </div>
          <div class="toolbar">
            <button id="changePasswordBtn" class="primary" type="button" data-i18n="changePasswordBtn"></button>
          </div>
          <div id="pwdMsg" class="msg"></div>
        </div>
      </section>
      <section id="logs" class="view hidden">
        <div class="panel">
          <h2 data-i18n="serviceLogs"></h2>
          <div id="logPath" class="hint"></div>
          <div class="toolbar">
            <button id="refreshLogs" class="primary" type="button" data-i18n="refreshLogs"></button>
          </div>
          <pre id="logText" class="out"></pre>
        </div>
      </section>
    </div>
  </div>
</div>
<script src="/app.js"></script>
</body>
</html>
)PAGE";

constexpr const char* kAppScript = R"SCRIPT(const i18n = {
  zh: {
    navStatus: "运行状态", navNetwork: "网络共享", navDiagnostics: "通讯诊断", navAccount: "账号安全",
    navLogs: "系统日志", refresh: "刷新", deviceNumber: "设备号", deviceName: "设备名称",
    sharedNic: "共享网卡", heartbeat: "心跳状态", accessInfo: "接入信息", accessKey: "接入密钥",
    copyKey: "复制密钥", serverUrl: "服务器地址", save: "保存配置", restart: "重启服务",
    networkTitle: "网卡与共享网段", sharedInterface: "选择共享网卡",
    extraNetworks: "额外共享网段，每行一个 CIDR", detectedIfaces: "检测到的硬件网卡", interface: "网卡",
    network: "网段", ipTest: "IP 通讯测试", testIp: "测试 IP", runTest: "开始测试",
    changePassword: "修改 Web 登录密码", oldPassword: "旧密码", newPassword: "新密码",
    changePasswordBtn: "修改密码", serviceLogs: "系统日志", refreshLogs: "刷新日志", ok: "正常",
    pending: "待确认", auto: "自动共享网段：", saved: "已保存。重启服务后，隧道和路由配置生效。",
    restarting: "正在重启，稍后自动刷新...", testing: "测试中...", pwdChanged: "密码已修改。",
    logFile: "日志文件：", copied: "密钥已复制。", switch: "English", logout: "退出登录",
    hubCaFile: "Hub CA 证书文件（只读）", hubCertSha256: "Hub 公钥 SHA-256 指纹（只读）",
    changeDefault: "请先修改默认密码。",
    gatewayHealth: "网关健康", healthNotApplied: "服务尚未在本进程中配置网关，以下为当前系统状态。",
    h_ipForward: "IPv4 转发", h_rpFilter: "反向路径过滤", h_tunUp: "隧道网卡启用",
    h_tunAddress: "隧道网卡地址", h_tunRoute: "覆盖网络路由", h_rule: "防火墙规则",
    h_webSocket: "WebSocket 通道", h_udp: "UDP 通道", h_heartbeat: "最近接受的心跳",
    fix_ipForward: "IP 转发已关闭（可能被其他工具关闭），重启服务会重新开启。",
    fix_rpFilter: "严格反向路径过滤（1）会丢弃覆盖网络的回包，重启服务会将其设为 0。",
    fix_tunUp: "隧道网卡不存在或未启用，请重启服务。",
    fix_tunAddress: "隧道网卡缺少地址 100.79.255.1/32，重启服务会重新设置。",
    fix_tunRoute: "缺少 10.250.0.0/16 的路由，重启服务会重新添加。",
    fix_rule: "该规则已被其他工具（例如防火墙重载）删除，服务会在 30 秒内自动恢复；若一直缺失，请查看系统日志。",
    fix_webSocket: "未与 Hub 建立中继连接，请检查服务器地址和网络。",
    fix_udp: "Hub 未响应 UDP 探测，流量仍经 WebSocket 传输。",
    fix_heartbeat: "近 95 秒内没有被接受的心跳，请查看系统日志。", never: "从未"
  },
  en: {
    navStatus: "Status", navNetwork: "Network Sharing", navDiagnostics: "Diagnostics",
    navAccount: "Account", navLogs: "Logs", refresh: "Refresh", deviceNumber: "Device Number",
    deviceName: "Device Name", sharedNic: "Shared NIC", heartbeat: "Heartbeat",
    accessInfo: "Access Information", accessKey: "Access Key", copyKey: "Copy Key",
    serverUrl: "Server URL", save: "Save", restart: "Restart Service",
    networkTitle: "Interface and Shared Networks", sharedInterface: "Shared hardware interface",
    extraNetworks: "Additional shared networks, one CIDR per line",
    detectedIfaces: "Detected Hardware Interfaces", interface: "Interface", network: "Network",
    ipTest: "IP Connectivity Test", testIp: "Test IP", runTest: "Run Test",
    changePassword: "Change Web Password", oldPassword: "Old password",
    newPassword: "New password", changePasswordBtn: "Change Password", serviceLogs: "Service Logs",
    refreshLogs: "Refresh Logs", ok: "OK", pending: "Pending",
    auto: "Automatically shared networks: ",
    saved: "Saved. Restart the service to apply tunnel/routing changes.",
    restarting: "Restarting. Refreshing soon...", testing: "Testing...",
    pwdChanged: "Password changed.", logFile: "Log file: ", copied: "Access key copied.",
    logout: "Sign out", hubCaFile: "Hub CA file (read-only)",
    hubCertSha256: "Hub public key SHA-256 pin (read-only)",
    changeDefault: "Change the default password first.",
    switch: "中文", gatewayHealth: "Gateway health",
    healthNotApplied: "The service has not configured the gateway in this process; this is the system's current state.",
    h_ipForward: "IPv4 forwarding", h_rpFilter: "Reverse-path filter", h_tunUp: "Tunnel device up",
    h_tunAddress: "Tunnel device address", h_tunRoute: "Overlay route", h_rule: "Firewall rule",
    h_webSocket: "WebSocket channel", h_udp: "UDP channel", h_heartbeat: "Last accepted heartbeat",
    fix_ipForward: "IP forwarding is off (another tool switched it off); restarting the service switches it on.",
    fix_rpFilter: "Strict reverse-path filtering (1) drops overlay replies; restarting the service sets it to 0.",
    fix_tunUp: "The tunnel device is missing or down; restart the service.",
    fix_tunAddress: "The tunnel device lacks 100.79.255.1/32; restarting the service sets it again.",
    fix_tunRoute: "The route of 10.250.0.0/16 is missing; restarting the service adds it again.",
    fix_rule: "Another tool (a firewall reload, say) removed this rule; the service adds it back within 30 seconds. If it stays missing, see the logs.",
    fix_webSocket: "No relay connection to the Hub; check the server URL and the network.",
    fix_udp: "The Hub did not answer the UDP probe; traffic still flows over the WebSocket.",
    fix_heartbeat: "No heartbeat accepted in the last 95 seconds; see the logs.", never: "never"
  }
};
const navKeys = {overview: "navStatus", network: "navNetwork", diagnostics: "navDiagnostics",
                 account: "navAccount", logs: "navLogs"};

let model = null;
let health = null;
let lang = "zh";
let currentPage = "overview";
let logFilePath = null;

const $ = (id) => document.getElementById(id);

function t(key) {
  const table = i18n[lang];
  return Object.prototype.hasOwnProperty.call(table, key) ? table[key] : key;
}

function escapeHtml(value) {
  if (value === undefined || value === null) {
    return "";
  }
  const entities = {"&": "&amp;", "<": "&lt;", ">": "&gt;", "\"": "&quot;", "'": "&#39;"};
  return String(value).replace(/[&<>"']/g, (c) => entities[c]);
}

const DEFAULT_PASSWORD_MESSAGE = "Change the default password first.";
let mustChangePassword = false;

// Every call goes through here: a reply without success true becomes an error carrying the
// server's message. A lost login (expired, ended elsewhere, service restarted) brings back
// the login page; the factory password brings up the password form.
async function api(url, options) {
  const reply = await fetch(url, options);
  if (reply.status === 401) {
    location.reload();
  }
  const data = await reply.json();
  if (reply.status === 403 && data.message === DEFAULT_PASSWORD_MESSAGE) {
    demandPasswordChange();
  }
  if (data.success !== true) {
    throw new Error(data.message || "error");
  }
  return data;
}

function post(url, body) {
  const options = {method: "POST", headers: {"Content-Type": "application/json"}};
  if (body !== undefined) {
    options.body = JSON.stringify(body);
  }
  return api(url, options);
}

// The save and restart buttons sit in two views; their outcome shows in both message lines.
function showMessage(text, ok) {
  for (const id of ["msg", "netMsg"]) {
    $(id).textContent = text;
    $(id).className = "msg " + (ok ? "ok" : "error");
  }
}

function demandPasswordChange() {
  mustChangePassword = true;
  showPage("account");
  $("pwdMsg").textContent = t("changeDefault");
  $("pwdMsg").className = "msg error";
}

function applyLang() {
  document.querySelectorAll("[data-i18n]").forEach((el) => {
    el.textContent = t(el.dataset.i18n);
  });
  $("langBtn").textContent = t("switch");
  $("pageTitle").textContent = t(navKeys[currentPage]);
  document.documentElement.lang = lang === "zh" ? "zh-CN" : "en";
  if (logFilePath !== null) {
    $("logPath").textContent = t("logFile") + logFilePath;
  }
  renderSummary();
}

// The read-only parts of the model: cards, automatic networks and the interface table.
function renderSummary() {
  const data = model || {};
  const settings = data.settings || {};
  $("ovDevice").textContent = settings.deviceNumber || "-";
  $("ovName").textContent = settings.deviceName || "-";
  $("ovNic").textContent = settings.networkInterfaceName || "-";
  const accepted = !!(data.state && data.state.heartbeatAccepted === true);
  $("ovHeartbeat").textContent = model ? t(accepted ? "ok" : "pending") : "-";
  $("ovHeartbeat").className = "value " + (model ? (accepted ? "good" : "wait") : "");
  $("autoNets").textContent = t("auto") + (settings.sharedNetworks || []).join(", ");
  $("ifaceRows").innerHTML = (data.interfaces || []).map((item) =>
    "<tr><td>" + escapeHtml(item.name) + "</td><td>" + escapeHtml(item.cidr) + "</td></tr>"
  ).join("");
  renderHealth();
}

// One line per check: green or red, and for a red line what the operator can do about it.
function healthLine(check) {
  let value = check.value;
  if (check.kind === "heartbeat") {
    value = value === "0" ? t("never") : new Date(Number(value) * 1000).toLocaleString();
  }
  const subject = check.subject ? " <span class=\"subject\">" + escapeHtml(check.subject) + "</span>" : "";
  const fix = check.ok ? "" : "<div class=\"fix\">" + escapeHtml(t("fix_" + check.kind)) + "</div>";
  return "<li class=\"" + (check.ok ? "good" : "bad") + "\"><span class=\"dot\"></span>" +
    "<span class=\"what\">" + escapeHtml(t("h_" + check.kind)) + "</span>" + subject + ": " +
    escapeHtml(value) + fix + "</li>";
}

function renderHealth() {
  $("healthNote").textContent = t("healthNotApplied");
  $("healthNote").classList.toggle("hidden", !health || health.applied === true);
  $("healthRows").innerHTML = health ? (health.checks || []).map(healthLine).join("") : "";
}

async function loadHealth() {
  try {
    health = (await api("/api/health")).data;
  } catch (error) {
    health = null;
  }
  renderHealth();
}

// The editable fields, filled only from a fresh load so a language switch keeps edits.
function renderForm() {
  const data = model || {};
  const settings = data.settings || {};
  $("serverUrl").value = settings.serverUrl || "";
  $("deviceName").value = settings.deviceName || "";
  $("deviceSecret").value = settings.deviceSecret || "";
  $("hubCaFile").value = settings.hubCaFile || "";
  $("hubCertSha256").value = settings.hubCertSha256 || "";
  $("extra").value = (settings.additionalSharedNetworks || []).join("\n");
  const nic = $("nic");
  nic.innerHTML = "";
  for (const item of data.interfaces || []) {
    const option = document.createElement("option");
    option.value = item.name;
    option.textContent = item.name + "  " + item.cidr;
    nic.appendChild(option);
  }
  nic.value = settings.networkInterfaceName || "";
  if (nic.value !== (settings.networkInterfaceName || "")) {
    nic.selectedIndex = -1;
  }
}

async function loadStatus() {
  const reply = await api("/api/status");
  model = reply.data;
  renderSummary();
  renderForm();
  loadHealth();
}

function showPage(page) {
  currentPage = page;
  document.querySelectorAll(".view").forEach((view) => {
    view.classList.toggle("hidden", view.id !== page);
  });
  document.querySelectorAll(".nav").forEach((button) => {
    button.classList.toggle("active", button.dataset.page === page);
  });
  $("pageTitle").textContent = t(navKeys[page]);
  if (page === "logs") {
    loadLogs();
  }
}

function extraLines() {
  return $("extra").value.split(/\r?\n/).map((line) => line.trim()).filter((line) => line !== "");
}

async function save() {
  try {
    await post("/api/config", {
      serverUrl: $("serverUrl").value,
      deviceName: $("deviceName").value,
      networkInterfaceName: $("nic").value,
      additionalSharedNetworks: extraLines()
    });
    showMessage(t("saved"), true);
    await loadStatus();
  } catch (error) {
    showMessage(error.message, false);
  }
}

async function restart() {
  try {
    await post("/api/restart");
  } catch (error) {
    return;
  }
  showMessage(t("restarting"), true);
  setTimeout(() => location.reload(), 5000);
}

async function copyKey() {
  const field = $("deviceSecret");
  try {
    await navigator.clipboard.writeText(field.value);
  } catch (error) {
    // Pages served over plain http to another machine have no clipboard API.
    field.select();
    document.execCommand("copy");
  }
  showMessage(t("copied"), true);
}

async function runTest() {
  const out = $("testOut");
  out.textContent = t("testing");
  try {
    const reply = await post("/api/test", {ip: $("testIp").value});
    out.textContent = reply.output;
  } catch (error) {
    out.textContent = error.message;
  }
}

async function changePassword() {
  const line = $("pwdMsg");
  try {
    await post("/api/password", {oldPassword: $("oldPassword").value,
                                 newPassword: $("newPassword").value});
    line.textContent = t("pwdChanged");
    line.className = "msg ok";
    if (mustChangePassword) {
      mustChangePassword = false;
      loadStatus().catch(() => {});
    }
  } catch (error) {
    line.textContent = error.message;
    line.className = "msg error";
  }
}

async function loadLogs() {
  const text = $("logText");
  try {
    const reply = await api("/api/logs?bytes=32768");
    logFilePath = reply.path;
    $("logPath").textContent = t("logFile") + reply.path;
    text.textContent = reply.logs || "";
    text.scrollTop = text.scrollHeight;
  } catch (error) {
    text.textContent = error.message;
  }
}

document.querySelectorAll(".nav").forEach((button) => {
  button.addEventListener("click", () => showPage(button.dataset.page));
});
document.querySelectorAll(".save").forEach((button) => button.addEventListener("click", save));
document.querySelectorAll(".restart").forEach((button) => button.addEventListener("click", restart));
$("langBtn").addEventListener("click", () => {
  lang = lang === "zh" ? "en" : "zh";
  applyLang();
});
$("refresh").addEventListener("click", () => loadStatus().catch(() => {}));
$("copyKey").addEventListener("click", copyKey);
$("runTest").addEventListener("click", runTest);
$("changePasswordBtn").addEventListener("click", changePassword);
$("refreshLogs").addEventListener("click", loadLogs);
$("logout").addEventListener("click", async () => {
  await fetch("/api/logout", {method: "POST", headers: {"Content-Type": "application/json"}});
  location.reload();
});

applyLang();
loadStatus().catch(() => {});
)SCRIPT";

}  // namespace

const std::string& StableAppHtml() {
  static const std::string page = kAppPage;
  return page;
}

const std::string& StableAppScript() {
  static const std::string script = kAppScript;
  return script;
}

}  // namespace larkspire
