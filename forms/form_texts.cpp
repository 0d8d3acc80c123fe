#include "forms/form_texts.h"

#include "platform/version.h"

namespace pelvoran::form_text {

Text mainCaption(const RegionalSettings& regional) {
    return kMainCaptionBefore + regional.formatNumber(CURRENT_VERSION) + kMainCaptionAfter;
}

const Text& helpText() {
    static const Text text = Text(u"编号为2位字母加3-4位数字或8/10位的数字") + kLineBreak +
                             u"格式为 UE0945 或 6831234567 之类" + kLineBreak +
                             u"镜头编号一般印在卡口处" + kLineBreak +
                             u"本软件所提供信息仅做为参考。另因CANON公司编号规则未公开，"
                             u"并不能保证数据信息的100%准确性。" +
                             kLineBreak + u"如您有何建议或了解其它编号格式的相关信息" + kLineBreak +
                             u"请点击主界面留言按钮发送给我们 ，非常感谢 ^_^";
    return text;
}

} // namespace pelvoran::form_text
