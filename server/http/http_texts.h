#pragma once

// What the HTTP layer answers when it refuses a request, and what it says
// when it cannot listen. Each answer is a line of plain text; a message
// with parts is a function that puts them in place.

#include <cstdint>
#include <string>

namespace pelvoran::server::http_text {

// Answers to a request.
inline constexpr char kRangePastEnd[] = "请求的范围超出了文件的末尾。\n";
inline constexpr char kNoUploads[] = "这里不接受上传。\n";
inline constexpr char kFileUnreadable[] = "文件暂时无法读取，请稍后重试。\n";
inline constexpr char kBadHeaderName[] = "请求头的名字里有空格或其他不允许的字符。\n";
inline constexpr char kLengthAndChunked[] = "请求同时带有 Content-Length 和 Transfer-Encoding。\n";
inline constexpr char kLengthsDiffer[] = "请求带有不同的 Content-Length。\n";
inline constexpr char kUnknownCoding[] = "不支持这种 Transfer-Encoding。\n";
/// `size`: the limit as sizeText() writes it.
inline std::string uploadTooLarge(std::uint64_t limit, const std::string& size) {
    return "上传的文件太大：服务器最多接受 " + std::to_string(limit) + " 字节（" + size +
           "），由 serve 的 --max-download-size 设定。\n";
}
/// `largest`: the text fields' limit, as maxBodyText() writes it.
inline std::string badUploadForm(const std::string& largest) {
    return "上传的表单格式不对：只能有一个文件（字段 file），文字字段合计最多 " + largest +
           "。请回到发布页面重试。\n";
}
inline std::string cannotWriteUpload(const std::string& why) {
    return "无法写入上传的临时文件（状态目录）：" + why + "。请检查磁盘空间后重试。\n";
}
inline constexpr char kNulInPath[] = "请求的地址里有不允许的字符（%00）。\n";
inline constexpr char kBusy[] = "服务器正忙，请稍后重试。\n";
inline std::string requestTooLarge(const std::string& largest) {
    return "请求太大，最多 " + largest + "。\n";
}
inline std::string cannotMakeUploadFile(const std::string& why) {
    return "无法在状态目录中写入上传的临时文件：" + why + "\n";
}
inline constexpr char kNotMultipart[] = "上传的表单格式不对：须为 multipart/form-data。\n";

// Listening.
inline std::string cannotStartHttp(const std::string& address) {
    return "无法在 " + address + " 上启动 HTTP 服务";
}
inline std::string notListeningSocket(int fd) {
    return "传来的第 " + std::to_string(fd) + " 号描述符不是正在监听的 TCP 套接字";
}
inline std::string cannotResolve(const std::string& host) {
    return "无法解析地址 " + host;
}
inline constexpr char kPortInUse[] = "端口已被占用：先停下占用它的程序，或换一个端口";
inline constexpr char kPortNeedsRoot[] =
    "没有权限：1024 以下的端口需要 root 或 CAP_NET_BIND_SERVICE";
inline std::string cannotListen(const std::string& where, const std::string& why) {
    return "无法在 " + where + " 上监听（" + why + "）";
}

} // namespace pelvoran::server::http_text
