#pragma once

// What the release rules say of a release refused or noted, the signing's
// and the key files' failures, and sizes as people read them. The rules'
// words are UTF-16 (they go to the admin pages and the command line alike);
// a message with parts is a function that puts them in place.

#include "platform/text.h"

#include <string>

namespace pelvoran::server::release_text {

// A field of a release refused.
/// The version written without two decimals; kDidYouMean and the readings
/// follow when there are any.
inline constexpr char16_t kTwoDecimals[] =
    u"须有两位小数，例如 1.06、1.60、2.00：工具按数值比较版本，“1.6”就是 "
    u"1.60，写法不一会让之后发布的版本被当成回退。";
inline constexpr char16_t kDidYouMean[] = u"是否想写 ";
/// Between two readings.
inline constexpr char16_t kOr[] = u" 或 ";
inline constexpr char16_t kQuestionMark[] = u"？";
/// `code`: the character's code point in hex.
inline Text formatCharacterRefused(const Text& code) {
    return u"不能包含格式字符 U+" + code +
           u"（零宽空格、零宽连接符、字节顺序标记之类）：它们不显示或改变显示，"
           u"看到的文字与实际的不同。从别处粘贴的文字常带有它，请删去。";
}
inline Text rollback(const Text& next, const Text& published) {
    return u"注意：这是回退。" + next + u" 低于之前发布的 " + published + u"：已经升级到 " +
           published + u" 的工具不会收到它，只有低于 " + next + u" 的工具会提示更新。";
}
inline Text holdsSeparator(const Text& separator) {
    return u"不能包含“" + separator + u"”，工具用它分隔各项。";
}
inline constexpr char16_t kBidiControl[] =
    u"不能包含双向文字控制符（如 U+202E），它们会让显示的文字与实际不同。";
inline constexpr char16_t kControlInNotes[] = u"除换行外不能包含控制字符。";
inline constexpr char16_t kControl[] = u"不能包含换行或其他控制字符。";
inline constexpr char16_t kLeadingZero[] = u"不能以多余的 0 开头：例如写 1.07，而不是 01.07。";
/// `first`: the first version the tools were released as.
inline Text notAboveFirst(const Text& first) {
    return u"须为大于 " + first + u" 的十进制数（工具最早发布的版本是 " + first +
           u"，不大于它的版本没有工具会提示），用“.”作小数点、写两位小数，例如 1.06。";
}
inline constexpr char16_t kNotWebAddress[] = u"须为以 http:// 或 https:// 开头、带主机名的网址。";
inline constexpr char16_t kUserBeforeHost[] =
    u"主机名前不能有“用户名@”：这样的网址实际打开的是“@”后面的主机。";
inline constexpr char16_t kNotesTooLong[] =
    u"太长：工具最多显示 20 行、1000 个字符，多出的部分会被截去。";

// The base of the download addresses.
inline constexpr char kBaseNotWeb[] = "须以 https:// 开头（例如 https://example.com/pelvoran）";
inline constexpr char kBaseNotHttps[] =
    "须以 https:// 开头：状态目录中有公钥，发布的下载地址都须是 https://";
inline constexpr char kBaseNoHost[] = "缺少主机名";
inline constexpr char kBaseUserBeforeHost[] = "主机名前不能有“用户名@”";
inline constexpr char kBaseQueryOrFragment[] = "不能带“?”或“#”：下载路径接在它后面";
inline constexpr char kBaseNotAscii[] = "只能由可见的 ASCII 字符组成（空格、中文请先按网址编码）";
/// A size below a kilobyte: "312 字节".
inline constexpr char kBytes[] = " 字节";

// Keys and signatures.
inline constexpr char kNoRandom[] = "无法生成随机数（OpenSSL RAND_bytes）";
inline constexpr char kNoPublicKey[] = "无法取得公钥";
inline constexpr char kNotOurKey[] = "不是 pelvoran-server key create 生成的私钥（PEM 格式的 P-256 "
                                     "ECDSA 私钥）";
inline constexpr char kCannotMakeKey[] = "无法生成密钥";
inline std::string cannotKeepAnswerKey(const std::string& file, const std::string& why) {
    return "无法读取或写入回复签名密钥 " + file + "：" + why;
}
inline constexpr char kCannotSign[] = "无法签名";
inline constexpr char16_t kSignedWithCrLf[] =
    u"签名不符，只差在更新说明的换行：签名时每个换行是 CR LF（如 Windows "
    u"的文本文件），而发布时更新说明的换行一律是 LF（网页表单中的换行也是）。请用 "
    u"pelvoran-server release sign 对按 LF 换行的更新说明重新签名，再填入新的签名。";
inline constexpr char16_t kSignedWithLf[] =
    u"签名不符，只差在更新说明的换行：签名时每个换行是 LF，而这里的更新说明的换行是 "
    u"CR LF。请把更新说明的换行改为 LF 再发布，或对现在的更新说明重新签名。";
inline constexpr char16_t kSignatureMismatch[] =
    u"签名不符：它不是状态目录中公钥对应的私钥对这个版本（版本、下载地址、"
    u"发布日期、更新说明原样）的签名。请用配对的私钥重新签名。";
inline constexpr char16_t kNothingToCheckBy[] =
    u"状态目录中没有公钥，无法核对签名：请先用 pelvoran-server key "
    u"create --state 在这里生成密钥，或不填签名。";
inline constexpr char16_t kSignedNeedsHttps[] = u"须以 https:// 开头：发布的版本要签名，而 http:// "
                                                u"地址的文件仍可被途中的人调换。";
inline constexpr char16_t kUnsigned[] =
    u"缺少签名：装有公钥的工具只提示签名相符的版本。请在存放私钥的机器上用 "
    u"pelvoran-server release sign --key 私钥文件 对这个版本签名，再给出以 sig1: "
    u"开头的签名（发布页面的“签名”一栏，或 release set --signature；也可用 "
    u"release set --sign-with 私钥文件 直接签名）。";
inline std::string cannotReadPublicKey(const std::string& file) {
    return "无法读取状态目录中的公钥文件 " + file;
}
inline std::string badPublicKey(const std::string& file) {
    return "状态目录中的 " + file + " 不是有效的公钥：请换成 key create 打印的那一行";
}

} // namespace pelvoran::server::release_text
