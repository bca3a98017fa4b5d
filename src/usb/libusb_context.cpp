#include "usb/libusb_context.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <mutex>

#include "usb/libusb_error.hpp"

namespace zt::usb {

std::shared_ptr<Context> default_context() {
    static std::mutex mutex;
    // Never destroyed: libusb_exit at static destruction would race reader threads and
    // handles that the interpreter still holds at exit.
    static auto* instance = new std::shared_ptr<Context>();  // guarded by mutex
    std::lock_guard<std::mutex> guard(mutex);
    if (!*instance) {
        libusb_context* ctx = nullptr;
        const int rc = libusb_init(&ctx);
        if (rc < 0) throw_libusb_error("initialise libusb", rc);
        *instance = std::make_shared<Context>(ctx);
    }
    return *instance;
}

#ifdef _WIN32
// The file the loader took libusb from: the module itself where libusb is linked in.
std::string library_path() {
    HMODULE module = nullptr;
    const DWORD flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    wchar_t wide[32768];
    if (GetModuleHandleExW(flags, reinterpret_cast<LPCWSTR>(&libusb_init), &module)) {
        const DWORD length = GetModuleFileNameW(module, wide, sizeof wide / sizeof wide[0]);
        if (length > 0 && length < sizeof wide / sizeof wide[0]) {
            const int size = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
            std::string path(static_cast<size_t>(size > 0 ? size : 0), '\0');
            if (size > 0 && WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), path.data(), size,
                                                nullptr, nullptr) == size)
                return path;
        }
    }
    return "libusb-1.0.dll";
}
#else
std::string library_path() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&libusb_init), &info) != 0 && info.dli_fname && *info.dli_fname) {
        return info.dli_fname;
    }
    return "libusb-1.0.so.0";
}
#endif

}  // namespace zt::usb
