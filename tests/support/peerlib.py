"""Helpers every test peer shares: a free loopback port and the Windows
name (under Wine's Z: drive) of a Linux path."""
import socket


def free_port():
    """A loopback port nothing listens on at the moment of asking."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def windows_path(path):
    return "Z:" + path.replace("/", "\\")
