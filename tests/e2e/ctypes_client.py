"""A client of the daemon in Python, through helper_ipc's C library and ctypes (standard library
only), for the end-to-end suite. Takes the same commands as c_client and prints the same lines.

usage: ctypes_client.py LIBRARY [--socket PATH] COMMAND [ARG...] [COMMAND [ARG...]]...
The exit status is the status of the last command (10 for a usage error).
"""
import ctypes
import os
import socket
import sys

STATUS_NAMES = ["HELPER_IPC_OK", "HELPER_IPC_ERR_REPLY", "HELPER_IPC_REFUSED",
                "HELPER_IPC_CONNECTION_FAILED", "HELPER_IPC_BAD_ARGUMENT"]


def load(path):
    lib = ctypes.CDLL(path)
    client, text = ctypes.c_void_p, ctypes.c_char_p
    out_bool, out_u32 = ctypes.POINTER(ctypes.c_bool), ctypes.POINTER(ctypes.c_uint32)
    signatures = {
        "helper_ipc_client_new": (client, []),
        "helper_ipc_client_free": (None, [client]),
        "helper_ipc_connect": (ctypes.c_int, [client, text]),
        "helper_ipc_connect_default": (ctypes.c_int, [client]),
        "helper_ipc_last_error": (text, [client]),
        "helper_ipc_ping": (ctypes.c_int, [client]),
        "helper_ipc_get_forwarding": (ctypes.c_int, [client, out_bool]),
        "helper_ipc_set_forwarding": (ctypes.c_int, [client, ctypes.c_bool]),
        "helper_ipc_pf_load_anchor": (ctypes.c_int, [client, text, text]),
        "helper_ipc_pf_flush_anchor": (ctypes.c_int, [client, text]),
        "helper_ipc_pf_enable": (ctypes.c_int, [client, out_bool, ctypes.POINTER(text)]),
        "helper_ipc_pf_release": (ctypes.c_int, [client, text]),
        "helper_ipc_ifconfig_read": (ctypes.c_int, [client, text, out_bool, out_u32, out_u32]),
        "helper_ipc_ifconfig_set": (ctypes.c_int, [client, text, text, text]),
        "helper_ipc_ifconfig_delete": (ctypes.c_int, [client, text, text]),
        "helper_ipc_icmp_echo": (ctypes.c_int, [client, text, out_bool]),
        "helper_ipc_bind_dhcp67": (ctypes.c_int, [client, ctypes.POINTER(ctypes.c_int)]),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype, function.argtypes = restype, argtypes
    return lib


def dotted(value):
    return socket.inet_ntoa(value.to_bytes(4, "big"))


def describe_dhcp_socket(fd):
    """The same description as c_client's, with a datagram sent from the socket to 127.0.0.1."""
    dhcp = socket.socket(fileno=fd)
    try:
        addr, port = dhcp.getsockname()
        kind = dhcp.getsockopt(socket.SOL_SOCKET, socket.SO_TYPE)
        broadcast = dhcp.getsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST)
        cloexec = not os.get_inheritable(fd)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as receiver:
            receiver.bind(("127.0.0.1", 0))
            receiver.settimeout(5)
            dhcp.sendto(b"offer", receiver.getsockname())
            data, source = receiver.recvfrom(16)
            sent_from = source[1] if data == b"offer" else -1
    finally:
        dhcp.close()
    return (f"udp={int(kind == socket.SOCK_DGRAM)} addr={addr} port={port} "
            f"broadcast={int(broadcast != 0)} cloexec={int(cloexec)} sent-from={sent_from}")


def run(lib, client, name, args, socket_path):
    """Runs one command; returns its status and the value to print on success."""
    b = ctypes.c_bool()
    encoded = [arg.encode() for arg in args]
    if name == "ping":
        return lib.helper_ipc_ping(client), ""
    if name == "forwarding-get":
        return lib.helper_ipc_get_forwarding(client, ctypes.byref(b)), "on" if b.value else "off"
    if name == "forwarding-set":
        return lib.helper_ipc_set_forwarding(client, args[0] == "on"), ""
    if name == "pf-load":
        return lib.helper_ipc_pf_load_anchor(client, *encoded), ""
    if name == "pf-flush":
        return lib.helper_ipc_pf_flush_anchor(client, *encoded), ""
    if name == "pf-enable":
        token = ctypes.c_char_p()
        status = lib.helper_ipc_pf_enable(client, ctypes.byref(b), ctypes.byref(token))
        return status, f"token={token.value.decode()}" if b.value else "no token"
    if name == "pf-release":
        return lib.helper_ipc_pf_release(client, *encoded), ""
    if name == "iface-read":
        addr, mask = ctypes.c_uint32(1), ctypes.c_uint32(1)
        status = lib.helper_ipc_ifconfig_read(client, encoded[0], ctypes.byref(b),
                                              ctypes.byref(addr), ctypes.byref(mask))
        if b.value:
            return status, f"{dotted(addr.value)}/{dotted(mask.value)}"
        return status, f"none ({addr.value}/{mask.value})"
    if name == "iface-set":
        return lib.helper_ipc_ifconfig_set(client, *encoded), ""
    if name == "iface-delete":
        return lib.helper_ipc_ifconfig_delete(client, *encoded), ""
    if name == "icmp":
        status = lib.helper_ipc_icmp_echo(client, encoded[0], ctypes.byref(b))
        return status, "answered" if b.value else "no answer"
    if name == "dhcp67":
        fd = ctypes.c_int(-1)
        status = lib.helper_ipc_bind_dhcp67(client, ctypes.byref(fd))
        return status, describe_dhcp_socket(fd.value) if status == 0 else ""
    if name == "connect":
        if socket_path is None:
            return lib.helper_ipc_connect_default(client), ""
        return lib.helper_ipc_connect(client, socket_path.encode()), ""
    raise KeyError(name)


ARITY = {"ping": 0, "forwarding-get": 0, "forwarding-set": 1, "pf-load": 2, "pf-flush": 1,
         "pf-enable": 0, "pf-release": 1, "iface-read": 1, "iface-set": 3, "iface-delete": 2,
         "icmp": 1, "dhcp67": 0, "connect": 0}


def report(lib, client, name, status, value):
    line = f"{name}: {STATUS_NAMES[status]}".encode()
    if status == 0:
        line += f" {value}".encode() if value else b""
    else:
        line += b" [" + lib.helper_ipc_last_error(client) + b"]"
    sys.stdout.buffer.write(line + b"\n")
    return status


def main(argv):
    lib = load(argv[1])
    words = argv[2:]
    client = lib.helper_ipc_client_new()
    try:
        socket_path = None
        if words[:1] == ["--socket"]:
            socket_path = words[1]
            status = lib.helper_ipc_connect(client, socket_path.encode())
            words = words[2:]
        else:
            status = lib.helper_ipc_connect_default(client)
        if status != 0:
            report(lib, client, "connect", status, "")
        while words:
            name, arity = words[0], ARITY.get(words[0])
            if arity is None or len(words) <= arity:
                print(f"ctypes_client: unknown command or missing arguments at {name}",
                      file=sys.stderr)
                return 10
            status, value = run(lib, client, name, words[1:1 + arity], socket_path)
            report(lib, client, name, status, value)
            words = words[1 + arity:]
        return status
    finally:
        lib.helper_ipc_client_free(client)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
