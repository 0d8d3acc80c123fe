#include "server/pages/html.h"

namespace pelvoran::server {
namespace {

// Small enough to keep the lookup page with its styles far under 20 KB.
constexpr char kStyle[] = R"css(
:root { color-scheme: light; --ink: #1f2328; --muted: #57606a; --line: #d0d7de;
        --accent: #0b57d0; --bad: #b3261e; --good: #1a7f37; }
* { box-sizing: border-box; }
body { margin: 0; font: 16px/1.6 "Noto Sans CJK SC", "Source Han Sans SC", "PingFang SC",
       "Microsoft YaHei", sans-serif; color: var(--ink); background: #fff; }
header.bar { background: #f6f8fa; border-bottom: 1px solid var(--line); padding: 0 1rem; }
header.bar nav { display: flex; flex-wrap: wrap; gap: .25rem 1rem; max-width: 60rem; margin: 0 auto; }
header.bar a { display: inline-block; padding: .6rem .25rem; min-height: 44px; color: var(--accent); }
header.bar a[aria-current] { font-weight: bold; color: var(--ink); }
main { max-width: 60rem; margin: 0 auto; padding: 1rem; overflow-wrap: anywhere; }
h1 { font-size: 1.5rem; margin: .5rem 0 1rem; }
h2 { font-size: 1.2rem; margin: 1.5rem 0 .5rem; }
label { display: block; font-weight: bold; margin: .75rem 0 .25rem; }
input, textarea, button { font: inherit; min-height: 44px; max-width: 100%; }
input, textarea { width: 100%; padding: .5rem; border: 1px solid #6e7781; border-radius: 4px; }
textarea { min-height: 8rem; resize: vertical; }
button, .button { display: inline-block; min-width: 44px; padding: .5rem 1rem; margin: .5rem .5rem 0 0;
         border: 1px solid var(--accent); border-radius: 4px; background: var(--accent); color: #fff;
         cursor: pointer; text-decoration: none; }
button.quiet, .button.quiet { background: #fff; color: var(--accent); }
button.danger { background: var(--bad); border-color: var(--bad); }
.actions { display: flex; flex-wrap: wrap; align-items: center; }
.keep { white-space: nowrap; }
label.check { display: flex; gap: .5rem; align-items: center; font-weight: normal; }
label.check input { width: auto; }
.row { display: flex; flex-wrap: wrap; gap: .5rem; align-items: flex-end; }
.row > input { flex: 1 1 12rem; width: auto; }
.answer { padding: .75rem 1rem; border-left: 4px solid var(--accent); background: #f6f8fa;
          white-space: pre-wrap; }
.error { color: var(--bad); font-weight: bold; margin: .25rem 0; }
.ok { color: var(--good); font-weight: bold; }
.muted { color: var(--muted); }
code.hash { word-break: break-all; font-size: .85em; }
.receipt { padding: .5rem 1rem; border-left: 4px solid var(--good); background: #f6f8fa; }
code.reply-code { font-size: 1.3rem; font-weight: bold; letter-spacing: .05em; white-space: nowrap; }
img { max-width: 100%; height: auto; }
.trap { position: absolute; left: -10000px; width: 1px; height: 1px; overflow: hidden; }
ol.comments, ol.log { list-style: none; padding: 0; }
ol.comments > li, ol.log > li { border: 1px solid var(--line); border-radius: 6px; padding: .5rem 1rem; margin: .75rem 0; }
ol.log > li.live { border-left: 6px solid var(--accent); }
ol.comments > li.unread { border-left: 6px solid var(--accent); }
.text { white-space: pre-wrap; margin: .5rem 0; }
.box { border: 1px solid #6e7781; border-radius: 6px; max-width: 28rem; margin: 0; }
.box figcaption { background: #f6f8fa; padding: .4rem .75rem; border-bottom: 1px solid var(--line); }
.box p { padding: .75rem; margin: 0; white-space: pre-wrap; }
.box .buttons { text-align: right; padding: 0 .75rem .75rem; }
.box .buttons span { display: inline-block; border: 1px solid #6e7781; border-radius: 4px;
                     padding: .2rem 1rem; margin-left: .5rem; }
table { border-collapse: collapse; }
th, td { border: 1px solid var(--line); padding: .25rem .5rem; text-align: right; }
figure { margin: 1rem 0; }
svg .bar { fill: var(--accent); }
svg .axis { stroke: var(--muted); }
svg text { fill: var(--ink); font-size: 11px; }
/* The chart scales with the page: bigger labels where it is drawn small, so
   that they stay near 12 px on a phone. */
@media (max-width: 40rem) { svg text { font-size: 15px; } }
@media (max-width: 30rem) { svg text { font-size: 20px; } }
)css";

} // namespace

std::string escapeHtml(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (const char c : utf8) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string htmlPage(std::string_view title, std::string_view main, std::string_view nav,
                     std::string_view root) {
    std::string page = "<!DOCTYPE html>\n<html lang=\"zh-CN\">\n<head>\n<meta charset=\"utf-8\">\n"
                       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                       "<title>";
    page += escapeHtml(title);
    page += "</title>\n<link rel=\"stylesheet\" href=\"";
    page += escapeHtml(root);
    page += "style.css\">\n</head>\n<body>\n";
    if (!nav.empty()) {
        page += "<header class=\"bar\">";
        page += nav;
        page += "</header>\n";
    }
    page += "<main>\n";
    page += main;
    page += "</main>\n</body>\n</html>\n";
    return page;
}

WebResponse styleSheet() {
    WebResponse r;
    r.type = "text/css; charset=utf-8";
    r.body = kStyle;
    r.headers.emplace_back("Cache-Control", "max-age=3600");
    return r;
}

void addPageHeaders(WebResponse& r) {
    r.headers.emplace_back("Content-Security-Policy",
                           "default-src 'self'; form-action 'self'; frame-ancestors 'none'");
    r.headers.emplace_back("X-Frame-Options", "DENY");
    r.headers.emplace_back("X-Content-Type-Options", "nosniff");
    // Not no-referrer: a browser then sends "Origin: null" with the pages'
    // own forms, which the admin pages would refuse as another origin.
    r.headers.emplace_back("Referrer-Policy", "same-origin");
}

} // namespace pelvoran::server
