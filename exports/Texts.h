// The texts only the drop-in flat interface writes into its message
// buffers, as the GBK (code page 936) bytes its callers receive (with what
// they say in UTF-8 beside them). The texts every edge shares, the reader's
// words for its status codes among them, are in reader/Texts.h.
#pragma once

#include "reader/Texts.h"

namespace qd500::text {

// name, GBK bytes, UTF-8
#define QD500_DROPIN_TEXTS(X)                                                                                        \
    X(kPortNotOpen, "\xB4\xAE\xBF\xDA\xCE\xB4\xB4\xF2\xBF\xAA", "串口未打开")                                        \
    X(kClosed, "\xD5\xFD\xC8\xB7\xB9\xD8\xB1\xD5", "正确关闭")                                                       \
    X(kSendComErr, "SendCom ERR", "SendCom ERR")                                                                     \
    X(kSetCardTypeError, "\xC9\xE8\xD6\xC3\xBF\xA8\xC0\xE0\xD0\xCD\xB3\xF6\xB4\xED\xA3\xA1", "设置卡类型出错！")     \
    X(kReadDataTimeout, "\xB6\xC1\xCA\xFD\xBE\xDD\xA3\xAD\xCD\xA8\xD1\xB6\xB3\xAC\xCA\xB1", "读数据－通讯超时")      \
    X(kWriteDataTimeout, "\xD0\xB4\xCA\xFD\xBE\xDD\xA3\xAD\xCD\xA8\xD1\xB6\xB3\xAC\xCA\xB1", "写数据－通讯超时")     \
    X(kSetInterfaceSendError,                                                                                        \
      "\xC9\xE8\xD6\xC3\xBD\xD3\xBF\xDA\xCA\xB1\xA3\xAC\xB4\xAB\xCB\xCD\xCA\xFD\xBE\xDD\xB5\xBD\xB4\xAE\xBF\xDA\xB3" \
      "\xF6\xB4\xED!",                                                                                               \
      "设置接口时，传送数据到串口出错!")                                                                             \
    X(kSetInterfaceError, "\xC9\xE8\xD6\xC3\xBD\xD3\xBF\xDA\xCA\xB1\xB3\xF6\xB4\xED!", "设置接口时出错!")            \
    X(kVerifyPinError, "\xD0\xA3\xD1\xE9\xC3\xDC\xC2\xEB\xCA\xB1\xB3\xF6\xB4\xED!", "校验密码时出错!")               \
    X(kEraseError, "\xB2\xC1\xB3\xFD\xCA\xFD\xBE\xDD\xCA\xB1\xB3\xF6\xB4\xED!", "擦除数据时出错!")                   \
    X(kPersonaliseError, "\xB8\xF6\xC8\xCB\xBB\xAF\xB4\xA6\xC0\xED\xCA\xB1\xB3\xF6\xB4\xED!", "个人化处理时出错!")   \
    X(kSetInterfaceTimeout, "\xC9\xE8\xD6\xC3\xBD\xD3\xBF\xDA\xA3\xAD\xCD\xA8\xD1\xB6\xB3\xAC\xCA\xB1",              \
      "设置接口－通讯超时")                                                                                          \
    X(kSetCardTypeTimeout, "\xC9\xE8\xD6\xC3\xBF\xA8\xC0\xE0\xD0\xCD\xA3\xAD\xCD\xA8\xD1\xB6\xB3\xAC\xCA\xB1",       \
      "设置卡类型－通讯超时")                                                                                        \
    X(kPowerOnTimeoutRead, "\xBF\xA8\xC9\xCF\xB5\xE7\xA3\xAD\xCD\xA8\xD1\xB6\xB3\xAC\xCA\xB1", "卡上电－通讯超时")   \
    X(kPowerOnTimeoutWrite, "\xBF\xA8\xC6\xAC\xC9\xCF\xB5\xE7\xA3\xAD\xCD\xA8\xD1\xB6\xB3\xAC\xCA\xB1",              \
      "卡片上电－通讯超时")                                                                                          \
    X(kPowerOffTimeoutRead, "\xBF\xA8\xCF\xC2\xB5\xE7\xA3\xAD\xCD\xA8\xD1\xB6\xB3\xAC\xCA\xB1", "卡下电－通讯超时")  \
    X(kPowerOffTimeoutWrite, "\xBF\xA8\xC6\xAC\xCF\xC2\xB5\xE7\xA3\xAD\xCD\xA8\xD1\xB6\xB3\xAC\xCA\xB1",             \
      "卡片下电－通讯超时")                                                                                          \
    X(kReadCardError, "\xB6\xC1\xBF\xA8\xB4\xED\xCE\xF3!", "读卡错误!")                                              \
    X(kTrack2NotRead, "\xCE\xB4\xB6\xC1\xB5\xBD\xB6\xFE\xB4\xC5\xB5\xC0\xCA\xFD\xBE\xDD!", "未读到二磁道数据!")      \
    X(kTrack3NotRead, "\xCE\xB4\xB6\xC1\xB5\xBD\xC8\xFD\xB4\xC5\xB5\xC0\xCA\xFD\xBE\xDD\xA3\xA1",                    \
      "未读到三磁道数据！")                                                                                          \
    X(kReadOk, "\xB3\xC9\xB9\xA6", "成功")                                                                           \
    X(kWriteOk, "\xB3\xC9\xB9\xA6!", "成功!")

#define QD500_DROPIN_TEXT_GBK(name, gbk, utf8) inline constexpr char name[] = gbk;
QD500_DROPIN_TEXTS(QD500_DROPIN_TEXT_GBK)
#undef QD500_DROPIN_TEXT_GBK

}  // namespace qd500::text
