#include "module/error_translation.hpp"

#include <new>

#include "module/errors.hpp"
#include "usb/usb_binding.hpp"
#include "usb/usb_device.hpp"

namespace zt {

namespace py = pybind11;

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const py::builtin_exception& e) {
        e.set_error();
    } catch (const AssertionFailure& e) {
        PyErr_SetString(PyExc_AssertionError, e.what());
    } catch (const IoError& e) {
        PyErr_SetString(PyExc_OSError, e.what());
    } catch (const ValueError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const TypeError& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const OverflowError& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const usb::Error& e) {
        usb_binding::set_python_error(e);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown native error");
    }
}

}  // namespace zt
