#include "content.h"

#include <windows.h>

#include "pictures.inc"

namespace backend {

namespace {

bool SameName(const std::wstring& a, const wchar_t* b) {
  return CompareStringOrdinal(a.c_str(), -1, b, -1, TRUE) == CSTR_EQUAL;
}

const wchar_t kLogonPageHead[] = LR"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta http-equiv="Cache-Control" content="no-cache">
<title>Passcode required</title>
<link rel="stylesheet" type="text/css" href="/talverinauth.dll?action=getcss?common.css">
<link rel="stylesheet" type="text/css" href="/talverinauth.dll?action=getcss?talverin.css">
</head>
<body style="background-image: url('/talverinauth.dll?action=getpic?login_bgr_body.gif')">
<div class="banner" style="background-image: url('/talverinauth.dll?action=getpic?login_bgr_top.gif')">
  <span class="banner-title">Secure sign-in</span>
</div>
<div class="dialog" style="background-image: url('/talverinauth.dll?action=getpic?dialog_box_fade.gif')">
  <img class="dialog-picture" src="/talverinauth.dll?action=getpic?login_img.jpg" alt="" width="96" height="72">
  <h1>Enter your passcode</h1>
  <p>A text message with a six-digit passcode is on its way to your phone.</p>
)PAGE";

const wchar_t kLogonPageTail[] = LR"PAGE(  <form method="post" action="/talverinauth.dll?action=talvlogin" autocomplete="off">
    <label for="passcode">Passcode</label>
    <input type="text" id="passcode" name="passcode" inputmode="numeric" pattern="[0-9]*" maxlength="6" autofocus>
    <div class="buttons">
      <input type="submit" class="button primary" name="Action" value="LogIn">
      <input type="submit" class="button" name="Action" value="Cancel">
    </div>
  </form>
  <p id="status" class="status" aria-live="polite">Waiting for the text message&hellip;</p>
</div>
<script>
(function () {
  var statusBox = document.getElementById("status");
  var finished = false;
  function show(answer) {
    // The answer is a tiny page: <html><body><B>SMS status: Status:...;Expires:...;QueuePosition:...</B></body></html>
    var text = answer.replace(/<[^>]*>/g, "").replace(/^\s+|\s+$/g, "");
    var fields = {};
    text.replace(/^SMS status:\s*/, "").split(";").forEach(function (part) {
      var colon = part.indexOf(":");
      if (colon > 0) fields[part.substring(0, colon)] = part.substring(colon + 1);
    });
    var state = fields.Status || "";
    if (!state) return;  // nothing known yet: keep the waiting line
    var line = "Text message: " + state;
    if (state === "Queued" && fields.QueuePosition) line += " (position " + fields.QueuePosition + ")";
    if (fields.Expires) line += " \u2014 passcode valid for " + fields.Expires + " s";
    statusBox.textContent = line;
    finished = state === "Sent" || state === "Failure" || state === "Skipped";
  }
  function poll() {
    var request = new XMLHttpRequest();
    request.open("GET", "/talverinauth.dll?action=status", true);
    request.onreadystatechange = function () {
      if (request.readyState !== 4) return;
      if (request.status === 200) show(request.responseText);
      window.setTimeout(poll, finished ? 10000 : 2000);
    };
    request.send(null);
  }
  poll();
})();
</script>
</body>
</html>
)PAGE";

const wchar_t kCommonCss[] = LR"PAGE(/* Shared look of the sign-in pages. */
html, body { margin: 0; padding: 0; }
body {
  font-family: "Segoe UI", Tahoma, Arial, sans-serif;
  font-size: 14px;
  color: #1b2631;
  background-color: #eef3f8;
  background-repeat: repeat-x;
}
h1 { font-size: 20px; font-weight: 600; margin: 8px 0 12px; }
p { margin: 0 0 12px; line-height: 1.4; }
label { display: block; font-weight: 600; margin-bottom: 4px; }
input[type="text"] {
  width: 100%;
  box-sizing: border-box;
  padding: 8px;
  font-size: 18px;
  letter-spacing: 4px;
  border: 1px solid #8fa9c4;
  border-radius: 3px;
}
)PAGE";

const wchar_t kTalverinCss[] = LR"PAGE(/* The passcode dialog. */
.banner {
  height: 64px;
  background-color: #1f4e79;
  background-repeat: repeat-x;
  color: #ffffff;
}
.banner-title { display: inline-block; padding: 20px 24px; font-size: 18px; font-weight: 600; }
.dialog {
  max-width: 360px;
  margin: 48px auto;
  padding: 24px;
  background-color: #ffffff;
  background-repeat: repeat-x;
  border: 1px solid #c5d3e2;
  border-radius: 6px;
  box-shadow: 0 2px 8px rgba(31, 78, 121, 0.15);
}
.dialog-picture { float: right; margin-left: 12px; }
.buttons { margin-top: 16px; }
.button {
  padding: 7px 18px;
  font-size: 14px;
  border: 1px solid #8fa9c4;
  border-radius: 3px;
  background: #f4f7fb;
  cursor: pointer;
}
.button.primary { background: #2e75b6; border-color: #1f4e79; color: #ffffff; }
.status { margin-top: 16px; color: #44546a; font-size: 13px; min-height: 1.4em; }
.requested { color: #44546a; font-size: 12px; word-break: break-all; }
)PAGE";

}  // namespace

std::wstring HtmlEscape(const std::wstring& text) {
  // Everything outside printable ASCII becomes a character reference: the
  // client turns the page into its ANSI code page, which may not hold it.
  std::wstring out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const wchar_t c = text[i];
    switch (c) {
      case L'&': out += L"&amp;"; continue;
      case L'<': out += L"&lt;"; continue;
      case L'>': out += L"&gt;"; continue;
      case L'"': out += L"&quot;"; continue;
      case L'\'': out += L"&#39;"; continue;
      default: break;
    }
    if (c >= 0x20 && c < 0x7F) {
      out.push_back(c);
      continue;
    }
    unsigned long code = c;
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      code = 0x10000 + ((static_cast<unsigned long>(c) - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c < 0x20 || (c >= 0xD800 && c < 0xE000)) {
      code = 0xFFFD;  // control characters and lone surrogates have no place in the page
    }
    out += L"&#" + std::to_wstring(code) + L";";
  }
  return out;
}

std::optional<std::wstring> RenderPage(const std::wstring& name, const std::wstring& text) {
  if (SameName(name, L"TalvLogon.html")) {
    std::wstring page = kLogonPageHead;
    if (!text.empty()) {
      page += L"  <p class=\"requested\">You asked for: " + HtmlEscape(text) + L"</p>\n";
    }
    page += kLogonPageTail;
    return page;
  }
  if (SameName(name, L"common.css")) return std::wstring(kCommonCss);
  if (SameName(name, L"talverin.css")) return std::wstring(kTalverinCss);
  return std::nullopt;
}

std::optional<std::pair<const unsigned char*, size_t>> FindPicture(const std::wstring& name) {
  static const struct {
    const wchar_t* name;
    const unsigned char* data;
    size_t size;
  } kPictures[] = {
      {L"login_img.jpg", login_img_jpg, sizeof login_img_jpg},
      {L"login_bgr_top.gif", login_bgr_top_gif, sizeof login_bgr_top_gif},
      {L"login_bgr_body.gif", login_bgr_body_gif, sizeof login_bgr_body_gif},
      {L"dialog_box_fade.gif", dialog_box_fade_gif, sizeof dialog_box_fade_gif},
  };
  for (const auto& p : kPictures) {
    if (SameName(name, p.name)) return std::make_pair(p.data, p.size);
  }
  return std::nullopt;
}

}  // namespace backend
