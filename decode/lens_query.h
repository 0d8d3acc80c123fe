#pragma once

#include "platform/regional.h"
#include "platform/text.h"
#include "platform/value.h"
#include "platform/value_numbers.h"

namespace pelvoran {

/// Texts of the code query, as the answer label shows them.
namespace query_text {
inline constexpr char16_t kNotice[] = u"此结果仅供参考，谢谢";
inline constexpr char16_t kApology[] =
    u"非常抱歉，未能取得相关信息。麻烦您点留言按钮将镜头型号编号以及您的购买时间告诉我们,"
    u"以便我们完善数据信息。谢谢!";
inline constexpr char16_t kHintLine1[] = u"请输入6、8或10位的编号，编号一般印在卡口处";
inline constexpr char16_t kHintLine2[] = u"格式为 UE0945 或 6831234567 之类";
} // namespace query_text

/// The code query and the two decoders, with the state the main window keeps
/// between queries. Free of any user-interface code: the main window owns one
/// and puts the text that Command1_Click returns into its answer label.
class LensQuery {
public:
    explicit LensQuery(RegionalSettings regional) : regional_(std::move(regional)) {}

    /// The query: reads full-width ASCII forms as ASCII and the ideographic
    /// space as a blank, trims the typed code, decodes it by its length and
    /// returns the text for the answer label (answer and notice, apology, or
    /// hint).
    Text Command1_Click(TextView prodSNText);

    /// Letter date code ("UE0945"): factory, year and month. Never empty.
    /// Needs at least two characters.
    Text GetOldLens(const Text& strLensSN);

    /// Eight- or ten-digit serial: year and month from the first two digits,
    /// or the empty text when they are not numeric.
    Text GetNewLens(const Text& strLensSN);

    bool isNumber(const Value& intNum) const { return pelvoran::isNumber(intNum, regional_); }
    Value Null2Int(Value& str) const { return pelvoran::Null2Int(str, regional_); }

    /// The code of the latest query, full-width forms read as ASCII, trimmed.
    Text LensSN;
    /// The text composed by the latest query; empty after a wrong length.
    Text ResultText;

private:
    RegionalSettings regional_;
};

} // namespace pelvoran
