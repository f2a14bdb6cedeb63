// src/python/tls_settings.cpp: set_tls's arguments and the TLS context built from them.
#include "python/tls_settings.h"

#include <optional>
#include <string>

#include "python/errors.h"

namespace velvane::py {

namespace {

/// A file name: None (when allowed), a str or an os.PathLike.
bool path_arg(PyObject* obj, const char* param, std::optional<std::string>& out) {
  if (!obj || obj == Py_None) return true;
  Ref path = Ref::steal(PyOS_FSPath(obj));
  if (!path || !PyUnicode_Check(path.get())) {
    if (path) type_mismatch(obj, "str");
    prefix_argument_error(param);
    return false;
  }
  Py_ssize_t size;
  const char* text = str_arg(path.get(), param, &size);
  if (!text) return false;
  out.emplace(text, static_cast<size_t>(size));
  return true;
}

bool flag_arg(PyObject* obj, bool& out) {
  if (!obj) return true;
  const int v = PyObject_IsTrue(obj);
  if (v < 0) return false;
  out = v != 0;
  return true;
}

bool built(Result<std::shared_ptr<const net::TlsContext>> made, std::shared_ptr<const net::TlsContext>& out) {
  if (!made) {
    raise_error(made.error(), Operation::LoadTls);
    return false;
  }
  out = std::move(made).value();
  return true;
}

}  // namespace

bool server_tls_arg(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::shared_ptr<const net::TlsContext>& out) {
  PyObject* a[4];
  if (!parse_args("set_tls", args, nargs, kwnames, {"certfile", "keyfile", "cafile", "require_client_cert"}, 2, a))
    return false;
  std::optional<std::string> certfile, keyfile;
  net::TlsServerSettings settings;
  if (!path_arg(a[0], "certfile", certfile) || !path_arg(a[1], "keyfile", keyfile) ||
      !path_arg(a[2], "cafile", settings.cafile) || !flag_arg(a[3], settings.require_client_cert))
    return false;
  if (!certfile || !keyfile) {
    PyErr_SetString(PyExc_TypeError, "set_tls() needs a certfile and a keyfile");
    return false;
  }
  settings.certfile = std::move(*certfile);
  settings.keyfile = std::move(*keyfile);
  Result<std::shared_ptr<const net::TlsContext>> made = Error{};
  {
    ReleaseGil nogil;
    made = net::TlsContext::for_server(settings);
  }
  return built(std::move(made), out);
}

bool client_tls_arg(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::shared_ptr<const net::TlsContext>& out) {
  PyObject* a[5];
  if (!parse_args("set_tls", args, nargs, kwnames, {"cafile", "certfile", "keyfile", "server_hostname", "verify"}, 0,
                  a))
    return false;
  net::TlsClientSettings settings;
  if (!path_arg(a[0], "cafile", settings.cafile) || !path_arg(a[1], "certfile", settings.certfile) ||
      !path_arg(a[2], "keyfile", settings.keyfile) || !flag_arg(a[4], settings.verify))
    return false;
  if (a[3] && a[3] != Py_None) {
    Py_ssize_t size;
    const char* name = str_arg(a[3], "server_hostname", &size);
    if (!name) return false;
    settings.server_hostname.emplace(name, static_cast<size_t>(size));
  }
  Result<std::shared_ptr<const net::TlsContext>> made = Error{};
  {
    ReleaseGil nogil;
    made = net::TlsContext::for_client(settings);
  }
  return built(std::move(made), out);
}

}  // namespace velvane::py
