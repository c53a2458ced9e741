"""What the bridge prints, byte for byte, as the bridge writes it: single-byte Windows-1252 on every
platform (the accented letters are the bytes 0xE0 and 0xE9)."""


def banner(com=4):
    return b"Communication OKV (COM%s) <-> Corvalen V1.000\n" % str(com).encode()


BANNER = banner(4)
CONNECTING = b"Connexion a Corvalen...\n"
CONNECTED = b"Connexion effectuee\n"
CONNECT_FAILED = b"Connexion impossible\n"
INSTALLED = b"Executeur installe\n"
REMOVED = b"Executeur desinstalle\n"
NO_EXECUTOR = b"Pas d'executeur installe\n"
PORT_ERROR = b"Erreur a l'ouverture du port de communication\n"
TIMEOUT = b"Com timeout\n"


def read_error(status):
    return b"Erreur %x \xe0 la lecture de m1000\n" % status


def write_error(status, ref="m1000"):
    return b"Erreur %x \xe0 l'\xe9criture de %s\n" % (status, ref.encode())


def shown_reply(taken, timed_out=False):
    """What a transaction prints for the reply bytes it took: the text up to the first NUL, in
    brackets, after the timeout message when the wait ran out."""
    return (TIMEOUT if timed_out else b"") + b"[" + taken.split(b"\0", 1)[0] + b"]"
