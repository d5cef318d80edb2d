"""Deliberate misbehaviour, chosen per run with --fault NAME[=ARG]."""

# Packet numbers count every packet the server sends except flood packets,
# starting with the public-key message as 1; 2 is the first encrypted packet.
FIRST_ENCRYPTED_PACKET = 2
# A stdout string this long fills a packet up to the size limit exactly.
LARGEST_STDOUT_STRING = 256 * 1024 - 9
# One more than the largest packet length a peer must accept.
OVERSIZED_LENGTH = 256 * 1024 + 1

FAULTS = {
    "bad-ident": ("LINE", "send LINE (default 'XSH-1.5-broken') instead of the identification line"),
    "ignore-flood": ("COUNT", "send COUNT (default 20) IGNORE/DEBUG packets before every packet"),
    "disconnect-after-user": ("REASON", "answer the user name with DISCONNECT and REASON"),
    "disconnect-after-user-long": ("LEN", "the same with a reason of LEN (default 600) bytes"),
    "no-password": (None, "accept the user name without asking for a password"),
    "refuse-password": (None, "answer every password with FAILURE"),
    "refuse-padded-password": (None, "compare the password with the zero bytes a client pads it with"),
    "disconnect-on-ignore": (None, "disconnect when the client sends an IGNORE message"),
    "refuse-pty": (None, "answer the pty request with FAILURE (the shell then runs on pipes)"),
    "bad-crc": ("N", "corrupt the check field of packet N (default 2)"),
    "long-length": ("N", "announce packet N (default 2) 16 bytes longer than it is"),
    "huge-length": ("N", "announce packet N (default 2) as %d bytes, send nothing more" % OVERSIZED_LENGTH),
    "close-mid-packet": ("N", "send half of packet N (default 2), then close"),
    "close-keys": (None, "offer a server key only 8 bits shorter than the host key"),
    "empty-stdout": (None, "send an empty stdout string when the shell starts"),
    "huge-stdout": ("LEN", "send one stdout string of LEN (default %d) bytes when the shell starts"
                    % LARGEST_STDOUT_STRING),
    "one-byte-packets": (None, "send shell output one byte per packet"),
    "stall": ("SECONDS[@N]", "pause SECONDS (default 5) before sending packet N (default 1)"),
    "unasked-port-open": ("HOST:PORT", "when the shell starts, open a channel to HOST:PORT (default "
                          "127.0.0.1:22) towards the client, which never asked for one"),
    "insertion-attack": ("N", "before packet N (default 2) send a stdout packet spliced as the "
                         "CRC-32 compensation attack splices one (copied ciphertext blocks, valid check)"),
}


class FaultError(ValueError):
    pass


class Faults:
    def __init__(self, specs=()):
        self.active = {}
        for text in specs:
            name, has_arg, arg = text.partition("=")
            if name not in FAULTS:
                raise FaultError("unknown fault %r (see --help)" % name)
            if has_arg and FAULTS[name][0] is None:
                raise FaultError("fault %r takes no argument" % name)
            self.active[name] = arg if has_arg else None
        self._check()

    def _check(self):
        for name in ("ignore-flood", "disconnect-after-user-long", "huge-stdout",
                     "bad-crc", "long-length", "huge-length", "close-mid-packet",
                     "insertion-attack"):
            if name in self.active:
                self.number(name, 1)
        if "stall" in self.active:
            self.stall()
        if self.number("huge-stdout", 0) > LARGEST_STDOUT_STRING:
            raise FaultError("huge-stdout is limited to %d bytes" % LARGEST_STDOUT_STRING)

    def __contains__(self, name):
        return name in self.active

    def text(self, name, default):
        value = self.active.get(name)
        return default if value in (None, "") else value

    def number(self, name, default):
        if name not in self.active:
            return default
        value = self.active[name]
        if value in (None, ""):
            return default
        try:
            number = int(value, 0)
        except ValueError:
            raise FaultError("fault %s needs a number, not %r" % (name, value)) from None
        if number < 0:
            raise FaultError("fault %s needs a number >= 0" % name)
        return number

    def packet_number(self, name):
        return self.number(name, FIRST_ENCRYPTED_PACKET) if name in self.active else None

    def stall(self):
        """(seconds, packet number) or None."""
        if "stall" not in self.active:
            return None
        seconds, _, packet = (self.active["stall"] or "").partition("@")
        try:
            return float(seconds or "5"), int(packet or "1")
        except ValueError:
            raise FaultError("stall needs SECONDS[@N]") from None


def describe():
    lines = []
    for name, (arg, text) in FAULTS.items():
        label = name + ("[=%s]" % arg if arg else "")
        lines.append("  %-30s %s" % (label, text))
    return "\n".join(lines)
