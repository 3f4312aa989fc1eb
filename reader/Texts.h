// The texts the reader core and every edge share: the reader's words for its
// status codes, the line's failures, the trace's labels. Each as the GBK
// (code page 936) bytes callers of the drop-in library receive, with its
// UTF-8 form for the reader API, made from the same row.
#pragma once

namespace qd500::text {

// name, GBK bytes, UTF-8
#define QD500_TEXTS(X)                                                                                               \
    X(kCannotOpenPort, "\xB2\xBB\xC4\xDC\xB4\xF2\xBF\xAA\xB4\xAE\xBF\xDA[%d]", "不能打开串口[%d]")                   \
    X(kPortOpened, "\xD5\xFD\xC8\xB7\xB4\xF2\xBF\xAA\xB4\xAE\xBF\xDA[%d]", "正确打开串口[%d]")                       \
    X(kParamError, "\xB2\xCE\xCA\xFD\xB4\xED\xCE\xF3", "参数错误")                                                   \
    X(kStatus00, "\xB3\xC9\xB9\xA6\xA3\xA1", "成功！")                                                               \
    X(kStatus11,                                                                                                     \
      "\xC3\xFC\xC1\xEE"                                                                                             \
      "BCC\xD0\xA3\xD1\xE9\xB4\xED!",                                                                                \
      "命令BCC校验错!")                                                                                              \
    X(kStatus12, "\xC3\xFC\xC1\xEE\xB8\xF1\xCA\xBD\xB4\xED!", "命令格式错!")                                         \
    X(kStatus13, "\xC3\xFC\xC1\xEE\xB9\xD8\xBC\xFC\xD7\xD6\xB4\xED!", "命令关键字错!")                               \
    X(kStatus14, "\xC3\xFC\xC1\xEE\xB3\xA4\xB6\xC8\xB4\xED!", "命令长度错!")                                         \
    X(kStatus21, "\xCE\xDE\xBF\xA8!", "无卡!")                                                                       \
    X(kStatus22, "\xB7\xC7\xB1\xEA\xD7\xBC\xBF\xA8!", "非标准卡!")                                                   \
    X(kStatus23, "\xBF\xA8\xC3\xBB\xC9\xCF\xB5\xE7!", "卡没上电!")                                                   \
    X(kStatus24, "\xBF\xA8\xC0\xE0\xD0\xCD\xB2\xBB\xD6\xA7\xB3\xD6!", "卡类型不支持!")                               \
    X(kStatus25, "\xB5\xAF\xBF\xA8\xB2\xBB\xB3\xC9\xB9\xA6!", "弹卡不成功!")                                         \
    X(kStatus31, "\xC3\xDC\xC2\xEB\xB4\xED\xBB\xF2\xC3\xBB\xD0\xA3\xD1\xE9\xC3\xDC\xC2\xEB!", "密码错或没校验密码!") \
    X(kStatus32, "\xD3\xEB\xB4\xED\xCE\xF3!", "与错误!")                                                             \
    X(kStatus33, "\xC3\xDC\xC2\xEB\xD0\xA3\xD1\xE9\xB7\xE2\xCB\xF8\xA3\xA8\xD6\xBB\xB6\xC1\xBF\xA8\xA3\xA9!",        \
      "密码校验封锁（只读卡）!")                                                                                     \
    X(kStatus41,                                                                                                     \
      "\xB7\xC3\xCE\xCA"                                                                                             \
      "COS\xB3\xF6\xB4\xED!",                                                                                        \
      "访问COS出错!")                                                                                                \
    X(kStatus77, "\xB3\xAC\xCA\xB1\xB4\xED!", "超时错!")                                                             \
    X(kSerialCommError, "\xB4\xAE\xBF\xDA\xCD\xA8\xD1\xB6\xB3\xF6\xB4\xED", "串口通讯出错")                          \
    X(kCommTimeout, "\xCD\xA8\xD1\xB6\xB3\xAC\xCA\xB1", "通讯超时")                                                  \
    X(kTimeoutExit, "\xB3\xAC\xCA\xB1\xCD\xCB\xB3\xF6", "超时退出")                                                  \
    X(kWriteFailed, "\xCA\xA7\xB0\xDC!", "失败!")                                                                    \
    X(kSettingError, "\xC9\xE8\xD6\xC3\xB4\xED\xCE\xF3", "设置错误")                                                 \
    X(kSettingOk, "\xC9\xE8\xD6\xC3\xD5\xFD\xC8\xB7", "设置正确")                                                    \
    X(kTracePowerOn, "\xC3\xFC\xC1\xEE=[\xBF\xA8\xC6\xAC\xC9\xCF\xB5\xE7]", "命令=[卡片上电]")                       \
    X(kTracePowerOff, "\xC3\xFC\xC1\xEE=[\xBF\xA8\xC6\xAC\xCF\xC2\xB5\xE7]", "命令=[卡片下电]")                      \
    X(kTraceCommand, "\xC3\xFC\xC1\xEE=[%s]", "命令=[%s]")                                                           \
    X(kTraceReply, "\xD3\xA6\xB4\xF0=[%s]\n", "应答=[%s]\n")

#define QD500_TEXT_GBK(name, gbk, utf8) inline constexpr char name[] = gbk;
QD500_TEXTS(QD500_TEXT_GBK)
#undef QD500_TEXT_GBK

// The UTF-8 form of one of the texts above (found by its address); null for
// any other pointer.
const char* Utf8Of(const char* gbk);

}  // namespace qd500::text
