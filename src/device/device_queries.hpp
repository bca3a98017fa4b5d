// The `_Device` members that ask the device through its master channel: the channel
// count, the echo and the firmware version, and the one query they all go through. Each
// is a member body of the class table (device_binding.cpp); each expects the GIL.
#pragma once

#include "binding/python.hpp"

#include "binding/native_function.hpp"

namespace zt::device {

py::object query_channel_count(const binding::Args& a);
py::object channel_count(const binding::Args& a);
py::object handle_channel_count_response(const binding::Args& a);
py::object io_control_master_query(const binding::Args& a);
py::object master_basic_handler(const binding::Args& a);
py::object echo(const binding::Args& a);
py::object firmware_version(const binding::Args& a);

inline constexpr const char* kEchoDoc =
    "\n\t\t向 Hid 设备发送参数指定的字符串，然后接收从设备返回的数据，以字符串形式返回给调用者。"
    "\n\t\t正常情况下，返回的字符串应与参数内容完全相同（由调用者检测）。"
    "\n\t\t参数字符串必须要能以 UTF8 编码为字节串，并且编码所得字节串长度不超过一定长度（约57）"
    "\n\t\t";

}  // namespace zt::device
