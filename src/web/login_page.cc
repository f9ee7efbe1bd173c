#include "web/pages.h"

namespace larkspire {
namespace {

// Nothing in the page hints at an account: no user name and never a password.
constexpr const char* kLoginPage = R"PAGE(<!doctype html>
<html lang="zh-CN">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width,initial-scale=1">
<title>LarkSpire Edge</title>
<style>
*{box-sizing:border-box}
body{margin:0;min-height:100vh;display:flex;align-items:center;justify-content:center;
  background:#eef2f6;color:#1f2937;font-family:Arial,"Microsoft YaHei",sans-serif}
#langBtn{position:fixed;top:16px;right:16px;padding:8px 14px;border:0;border-radius:6px;
  background:#475569;color:#fff;font-size:14px;cursor:pointer}
.card{width:100%;max-width:390px;margin:16px;padding:32px 28px;background:#fff;
  border:1px solid #d7dee8;border-radius:6px;box-shadow:0 8px 24px rgba(23,32,51,.08)}
h1{margin:0 0 6px;font-size:24px}
#sub{margin:0 0 24px;color:#64748b;font-size:14px}
label{display:block;margin:14px 0 6px;font-size:14px;font-weight:bold}
input{width:100%;padding:10px 12px;border:1px solid #d7dee8;border-radius:6px;font-size:15px}
input:focus{outline:2px solid #2563eb;border-color:#2563eb}
#loginBtn{width:100%;margin-top:22px;padding:11px;border:0;border-radius:6px;background:#1d4ed8;
  color:#fff;font-size:16px;cursor:pointer}
#loginBtn:hover{background:#2563eb}
#m{min-height:20px;margin-top:14px;color:#b91c1c;font-size:14px}
</style>
</head>
<body>
<button id="langBtn" type="button">English</button>
<div class="card">
  <h1>LarkSpire Edge</h1>
  <p id="sub"></p>
  <label id="userLabel" for="u"></label>
  <input id="u" autocomplete="username">
  <label id="passLabel" for="p"></label>
  <input id="p" type="password" autocomplete="current-password">
  <button id="loginBtn" type="button"></button>
  <div id="m"></div>
</div>
<script src="/login.js"></script>
</body>
</html>
)PAGE";

constexpr const char* kLoginScript = R"SCRIPT(const text = {
  zh: {sub: "现场端 Web 管理", user: "账号", pass: "密码", login: "登录", switch: "English",
       fail: "登录失败"},
  en: {sub: "Local service administration", user: "Username", pass: "Password", login: "Sign in",
       switch: "中文", fail: "Login failed"}
};
let lang = "zh";

function applyLang() {
  const t = text[lang];
  document.getElementById("sub").textContent = t.sub;
  document.getElementById("userLabel").textContent = t.user;
  document.getElementById("passLabel").textContent = t.pass;
  document.getElementById("loginBtn").textContent = t.login;
  document.getElementById("langBtn").textContent = t.switch;
  document.documentElement.lang = lang === "zh" ? "zh-CN" : "en";
}

async function login() {
  const message = document.getElementById("m");
  message.textContent = "";
  try {
    const reply = await fetch("/api/login", {
      method: "POST",
      headers: {"Content-Type": "application/json"},
      body: JSON.stringify({username: document.getElementById("u").value,
                            password: document.getElementById("p").value})
    });
    const data = await reply.json();
    if (data.success === true) {
      location.reload();
      return;
    }
    message.textContent = data.message || text[lang].fail;
  } catch (error) {
    message.textContent = (error && error.message) || text[lang].fail;
  }
}

document.getElementById("langBtn").addEventListener("click", () => {
  lang = lang === "zh" ? "en" : "zh";
  applyLang();
});
document.getElementById("loginBtn").addEventListener("click", login);
applyLang();
)SCRIPT";

}  // namespace

const std::string& StableLoginHtml() {
  static const std::string page = kLoginPage;
  return page;
}

const std::string& StableLoginScript() {
  static const std::string script = kLoginScript;
  return script;
}

}  // namespace larkspire
