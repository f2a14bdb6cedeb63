// src/python/tls_settings.h: the arguments of set_tls (server and both clients) turned into a TLS
// context, which is built at once so a bad file is refused where it was given.
#pragma once

#include <memory>

#include "net/tls.h"
#include "python/ref.h"

namespace velvane::py {

/// `set_tls(certfile, keyfile, cafile=None, require_client_cert=False)` of a server; false with an
/// exception set (OSError for a file that cannot be read, ValueError for contents refused).
bool server_tls_arg(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::shared_ptr<const net::TlsContext>& out);

/// `set_tls(cafile=None, certfile=None, keyfile=None, server_hostname=None, verify=True)` of a client.
bool client_tls_arg(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::shared_ptr<const net::TlsContext>& out);

inline constexpr const char* kServerSetTlsDoc =
    "set_tls($self, certfile, keyfile, cafile=None, require_client_cert=False)\n--\n\n"
    "Serves TLS (1.2 or newer) from the next serve() on, with the certificate chain and key read from PEM files.\n"
    "With cafile, client certificates are verified against it; require_client_cert refuses clients without one.";

inline constexpr const char* kClientSetTlsDoc =
    "set_tls($self, cafile=None, certfile=None, keyfile=None, server_hostname=None, verify=True)\n--\n\n"
    "Connects with TLS from the next connection on: the server's certificate is verified against cafile (the\n"
    "system's store when None) and the host name; certfile and keyfile present a client certificate.";

}  // namespace velvane::py
