#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The YModem seeds are real exchanges: lrzsz's sb sending to its rb, with what sb put on the line
recorded one read at a time. Run it again after changing an input format; the inputs that found
faults (named crash-*) are kept.
"""
import os
import pathlib
import select
import shutil
import subprocess
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
CORPUS = HERE / "corpus"
SEP = b"~~"
ENQ, ACK, NAK, EOT = b"\x05", b"\x06", b"\x15", b"\x04"


def xor(data):
    x = 0
    for b in data:
        x ^= b
    return bytes([x])


def frame(opener, body, bcc=True):
    covered = body + b"\x03"
    return opener + covered + (xor(covered) if bcc else b"")


def heading(name, count, fields, bcc=True):
    text = name.ljust(12).encode() + b"%05d%02d" % (count, len(fields))
    text += b"".join(b"%02d" % f for f in fields)
    return frame(b"\x01", text, bcc)


def text(serial, record, bcc=True, numbered=True):
    return frame(b"\x02", (b"%05d" % serial if numbered else b"") + record, bcc)


def chunks(*parts):
    """Chunks as (timing byte, bytes) or plain bytes (timing '0': after the next write)."""
    out = []
    for p in parts:
        t, data = p if isinstance(p, tuple) else (b"0", p)
        assert SEP not in data
        out.append(t + data)
    return SEP.join(out)


def upload(flags, byte1, name, records, fields, bcc=True, numbered=True):
    body = [ENQ, heading(name, len(records), fields, bcc)]
    body += [text(i + 1, r, bcc, numbered) for i, r in enumerate(records)]
    body.append(EOT)
    return bytes([flags, byte1]) + chunks(*body)


def receive_seeds():
    recs = [b"ABCDEF123", b"\xe9t\xe9\x80\xff\x01   "]
    hs = heading("ORDERS.BHT", 2, [6, 3])
    seeds = {
        "upload": upload(0, 1, "ORDERS.BHT", recs, [6, 3]),
        "upload_no_checks": upload(3, 1, "ORDERS.BHT", recs, [6, 3], bcc=False, numbered=False),
        "append_existing": upload(4 | 8, 1, "ORDERS.BHT", recs, [6, 3]),
        "replace_existing": upload(8, 1, "ORDERS.BHT", recs, [6, 3]),
        "sixteen_fields": upload(0, 1, "LIST.BHT", [b"x" * 32], [2] * 16),
        "program_file": bytes([0, 1]) + chunks(ENQ, frame(b"\x01", b"TAKE.PD3    00001"), EOT),
        "empty_file": upload(0, 1, "UNDEL.BHT", [], [5]),
        # A damaged heading (NAK), then the good one; a block split with a pause; a repeat.
        "retries": bytes([8, 2]) + chunks(
            ENQ, hs[:-1] + b"\x00", hs, (b"0", text(1, recs[0])[:5]), (b"D", text(1, recs[0])[5:]),
            text(1, recs[0]), text(2, recs[1]), text(2, recs[1]), EOT),
        "disk_full": bytes([64 | 8, 1 << 2 | 1]) + upload(0, 0, "ORDERS.BHT", recs, [6, 3])[2:],
        # Cancel at 1 s, while the second record is 2 s late.
        "cancel": bytes([16 | 4 | 8, 1 << 2 | 1]) + chunks(
            ENQ, hs, text(1, recs[0]), (b"8", text(2, recs[1])), EOT),
        "port_fault": bytes([32, 3 << 2]) + upload(0, 0, "ORDERS.BHT", recs, [6, 3])[2:],
        "floppy_full": bytes([128, 2 << 2 | 1]) + upload(0, 0, "ORDERS.BHT", recs, [6, 3])[2:],
        "floppy_room": bytes([128 | 8, 40 << 2 | 1]) + upload(0, 0, "ORDERS.BHT", recs, [6, 3])[2:],
        "enq_again": bytes([0, 0]) + chunks(ENQ, ENQ, hs, (b"3", EOT)),
    }
    return seeds


def command_line_seeds():
    lines = [
        "+P0 +F10,5 DATA.TXT", "+IRD20 +IR +YMOD MENU.PD4 +B9600", "+F99,99,54 +RXON +T0 A:",
        "+F1;2;3 -PB -SN \xa3DATA.TXT", "+CMP +APP +DDE +EX C:\\OUT\\", "",
        "DATA.TXT +F2,1 +P2 +B38400 +D7 +PE +S2", "MENU.PD3 +T120 +NW", "C:\\ +YMOD +APP",
        "\"DATA.TXT\" +RSG +PO +D8 +S1 +T30",
    ]
    return {"line%02d" % i: l.encode("latin-1") for i, l in enumerate(lines)}


def field_file_seeds():
    return {
        "written": b"* Created by TELVARO3 Ver PC6-32 2.75\r\n* Field lengths of the records in "
                   b"DATA.TXT; needed to send it back\r\nfile    DATA.TXT\r\ndate    12-03-2026 "
                   b"22:14:01\r\nsize    10\r\nrecords 2\r\nfields  2 1\r\n",
        "short": b"FILE DATA.TXT\rFIELDS 1;2,3 4\n",
        "sixteen": b"FIELDS " + b" ".join(b"15" for _ in range(16)) + b"\r\nFILE DATA.TXT\r\n",
        "wrong_name": b"FILE OTHER.TXT\r\nFIELDS 3\r\n",
    }


def capture(files, extra=()):
    """What sb puts on the line while sending `files` (name -> bytes) to rb, in the pieces it
    answered rb's requests with."""
    with tempfile.TemporaryDirectory() as tmp:
        src, dst = pathlib.Path(tmp, "src"), pathlib.Path(tmp, "dst")
        src.mkdir()
        dst.mkdir()
        for name, data in files.items():
            (src / name).write_bytes(data)
        rb = subprocess.Popen(["rb", "-q"], cwd=dst, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL)
        sb = subprocess.Popen(["sb", "-q", *extra, *files], cwd=src, stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        # sb's output, each piece marked as the answer to what rb said last ("0") or as going
        # with the piece before ("@").
        recorded = []
        rb_spoke = True
        ends = {sb.stdout.fileno(): rb.stdin, rb.stdout.fileno(): sb.stdin}
        while ends:
            ready, _, _ = select.select(list(ends), [], [], 10)
            if not ready:
                break
            for fd in ready:
                data = os.read(fd, 4096)
                if not data:
                    ends.pop(fd).close()
                    continue
                if fd == sb.stdout.fileno():
                    recorded.append((b"0" if rb_spoke else b"@", data))
                    rb_spoke = False
                else:
                    rb_spoke = True
                try:
                    ends[fd].write(data)
                    ends[fd].flush()
                except (BrokenPipeError, ValueError):
                    pass
        for p in (rb, sb):
            p.wait(timeout=10)
        # rb takes the first EOT of a file; a receiver that makes sure of it with a NAK gets a
        # second one from sb.
        exchange = []
        for timing, data in recorded:
            exchange.append((timing, data))
            if data == EOT:
                exchange.append((b"0", EOT))
        return chunks(*exchange)


def ymodem_seeds():
    text_file = b"".join(b"%05d,ITEM,%d\r\n" % (i, i * 7) for i in range(20))
    return {
        "short_text": capture({"DATA.TXT": text_file}),
        "kilo_blocks": capture({"f.bin": bytes(range(40, 120)) * 14}, ["-k"]),
        "batch_of_two": capture({"A.TXT": b"first\r\n", "B.TXT": b"second\r\n"}),
        "empty_file": capture({"EMPTY.TXT": b""}),
    }


def text_window_seeds():
    # Chunk timing "0": keys; "@" + field: a text for FileBox, StatusBox ("A"), MsgLabel ("B"),
    # RecordsBox ("C").
    return {
        "keys": bytes([0]) + chunks(b"x", b"\x1b[A", b"\x1bOP\x1b[1;5C", b"c"),
        "drawn": bytes([1]) + chunks((b"@", b"\xa3\xe9.TXT"), (b"A", b"Receiving File "),
                                     b"\x1b[15~n", (b"C", b" 00002"), b"\x1b"),
        "final": bytes([3]) + chunks((b"B", b"Err(70) Incorrect file or illegal heading."), b"\r"),
    }


def main():
    for target, seeds in [("receive_fuzz", receive_seeds()), ("command_line_fuzz", command_line_seeds()),
                          ("field_file_fuzz", field_file_seeds()), ("ymodem_receive_fuzz", ymodem_seeds()),
                          ("text_window_fuzz", text_window_seeds())]:
        d = CORPUS / target
        d.mkdir(parents=True, exist_ok=True)
        for old in d.iterdir():
            if not old.name.startswith("crash-"):
                old.unlink()
        for name, data in seeds.items():
            (d / name).write_bytes(data)


if __name__ == "__main__":
    main()
