#!/usr/bin/env python3
"""Writes the seed inputs of the link and file fuzz targets (run from anywhere; rewrites the seeds)."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
ACK = 0x90


def frame(cmd, data=b""):
    l = len(data)
    return bytes([0x68, l, l, 0x68, 0, 0, cmd]) + data + bytes([(cmd + sum(data)) & 0xFF, 0x16])


def srec(kind, address, data):
    size = {1: 2, 2: 3, 3: 4}[kind]
    body = bytes([size + len(data) + 1]) + address.to_bytes(size, "big") + data
    return b"S%d%s%02X\n" % (kind, body.hex().upper().encode(), 0xFF - (sum(body) & 0xFF))


def u32(v):
    return struct.pack("<I", v)


def write(target, name, data):
    folder = os.path.join(HERE, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def identify(t1, t2, crc_start=0x8000, crc_len=0x1000):
    return bytes([0x11]) + u32(0x44332211) + bytes([len(t1)]) + t1 + bytes([len(t2)]) + t2 + u32(crc_start) + u32(crc_len)


def script(*chunks):
    """The device's answers, one chunk per frame the host writes; (delay, bytes) for a late one."""
    out = b""
    for c in chunks:
        delay, data = c if isinstance(c, tuple) else (0, c)
        out += bytes([delay, len(data)]) + data
    return out


A = bytes([ACK])

# frame: call, request length, request data, device (calls 0 and 1: bytes queued at once; others: script)
write("frame", "receive_normal", bytes([0, 0]) + frame(4, b"\x01\x02\x03"))
write("frame", "receive_normal_bad_sum", bytes([0, 0]) + frame(4, b"\x01")[:-2] + b"\x00\x16")
write("frame", "receive_continuation", bytes([1, 0]) + frame(2, b"\x00" + u32(0x1234) + b"\x55")[1:])
write("frame", "acked_third_try", bytes([2, 2, 0xAB, 0xCD]) + script(b"\x00", b"\x68\x90", A))
write("frame", "request_after_garbage", bytes([3, 1, 0x42]) + script(b"\x68\x01\x01\x68\x00\x00", frame(0, b"\x07")))
write("frame", "block_acked", bytes([4, 6]) + u32(0x2000) + b"\x11\x22" + script(A))
write("frame", "block_rejected", bytes([4, 5]) + u32(0x2000) + b"\x11" + script(frame(2, b"\x00" + u32(0x2000) + b"\xff")))
write("frame", "acked_late", bytes([2, 0]) + script((130, A), (20, A)))
write("frame", "block_error_in_pieces", bytes([4, 5]) + u32(0x2000) + b"\x11" + script((60, frame(2, b"\x00" + u32(0x2000) + b"\x01"))))
write("frame", "block_ack_then_more", bytes([4, 5]) + u32(0x2000) + b"\x11" + script(A + frame(2)))

# identify: bit 0 of byte 0 = connected before, then the script
write("identify", "answer", bytes([0]) + script(frame(0, identify(b"TQ330 boot", b"V1.02"))))
write("identify", "long_text", bytes([1]) + script(frame(0, identify(bytes(range(32, 152)), b""))))
write("identify", "short_answer_then_lost", bytes([1]) + script(frame(0, b"\x11\x22\x33\x44\x55\x09")))
write("identify", "late_answer_then_next", bytes([1]) + script((13, frame(0, identify(b"A", b"B"))), frame(0, identify(b"C", b"D"))))
write("identify", "retry", bytes([1]) + script(b"\x68\x00", frame(0, identify(b"A", b"B"))))

# jobs: job (0 clear, 1 check blank, 2 get CRC, 3 program), [image], script
write("jobs", "clear_blank", bytes([0]) + script(A + frame(4)))
write("jobs", "clear_not_blank", bytes([0]) + script(b"\x00", A + frame(4, u32(0x20000) + u32(0xFF))))
write("jobs", "check_blank_short", bytes([1]) + script(A + frame(4, b"\x34\x12")))
write("jobs", "get_crc", bytes([2]) + script(A + frame(5), A + frame(5, b"\x00\x34\x12")))
write("jobs", "program_two_areas", bytes([3, 1, 0x01, 100, 0x10, 5]) + script(A, A, A, A))
write("jobs", "program_rejected", bytes([3, 0, 0x02, 90]) + script(frame(2, b"\x00" + u32(0x020000F0) + b"\x00")))
write("jobs", "program_short_error", bytes([3, 0, 0x02, 90]) + script(A, frame(2, b"\x00\x01")))
write("jobs", "program_late_ack", bytes([3, 0, 0x02, 90]) + script(A, (126, A), A))
write("jobs", "clear_slow_answer", bytes([0]) + script(A + frame(4)[:3], (200, frame(4)[3:])))
write("jobs", "program_top_of_space", bytes([3, 0, 0xFF, 81]) + script(A, A))

# srecord_file: byte 0 bit 0 puts 5320 + byte 1 (mod 140) header lines (11 characters each) in front
s28 = b"S00600004844521B\n" + srec(2, 0x10000, b"\x01\x02\x03\x04\x00") + b"S804010000FA\n"
write("srecord_file", "plain", bytes([0, 0]) + s28)
write("srecord_file", "not_mot", bytes([0, 0]) + b"X123\n")
# 5454 (5320 + 134) header lines end at character 59994: the records behind them cross the refill point.
write("srecord_file", "across_refill", bytes([1, 134]) + s28 + srec(2, 0x10010, b"\x01\x02\x03\x04\x00").replace(b"\n", b"\r\n"))
write("srecord_file", "error_after_refill", bytes([1, 134]) + srec(2, 0x10000, b"\x01\x02") * 2)


# Long records (some 500 characters) from 58,520 characters on: one of them straddles the refill point.
long_records = b"".join(srec(3, 0x10000 + 0x100 * i, bytes(range(i, i + 250)) if i < 6 else bytes(250)) for i in range(8))
write("srecord_file", "long_records_across_refill", bytes([1, 0]) + long_records)
write("srecord_file", "long_records_bad_tail", bytes([1, 100]) + long_records[:-20] + b"G\n")

# srecord_text: extra shapes next to the hand-written seeds
write("srecord_text", "long_s3_crlf.txt", srec(3, 0x08000000, bytes(range(250))).replace(b"\n", b"\r\n") + b"S70508000000F2\r\n")
write("srecord_text", "beyond_top.txt", srec(3, 0xFFFFFFFE, b"\x01\x02\x03"))
write("srecord_text", "top_byte_then_eof_mark.txt", srec(3, 0xFFFFFFFF, b"\x5a") + b"\x1aS1FF")
write("srecord_text", "touching_records.txt", srec(1, 0xFFFE, b"\x01") + srec(1, 0xFFFF, b"\x02") + srec(2, 0x10000, b"\x03"))

# rfc2217: flags (bit 0 tcp://, bit 1 close after the last byte, bit 2 long frame, bit 3 stop reading
# after bits 4-5 writes, bits 5-7 all set: the last chunk again and again up to 200 KB), settings (0x07: 8 data bits, odd parity,
# 1 stop bit, 57600 baud; bit 7 a baud rate with 0xFF bytes), frame length and frame, then the
# server's chunks [delay x 8 ms][length][bytes]
IAC, SE, SB, WILL, WONT, DO, DONT = 255, 240, 250, 251, 252, 253, 254
LINE_8O1 = 0x07
FRAME_FF = bytes([0x68, 0x02, 0x02, 0x68, 0x00, 0x00, 0x02, 0xFF, 0x01, 0x02, 0x16])
# ser2net's greeting: WILL SGA, DO SGA, WILL ECHO, DONT ECHO, DO BINARY, WILL BINARY, DO COM-PORT
GREETING = bytes([IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 1, IAC, DONT, 1, IAC, DO, 0, IAC, WILL, 0, IAC, DO, 44])


def sub(*payload):
    body = b"".join(bytes([b]) if isinstance(b, int) else b for b in payload)
    return bytes([IAC, SB]) + body.replace(b"\xff", b"\xff\xff") + bytes([IAC, SE])


def answers(baud=57600, data=8, parity=2, stop=1, controls=(1,)):
    out = sub(44, 101, baud.to_bytes(4, "big")) + sub(44, 102, data) + sub(44, 103, parity) + sub(44, 104, stop)
    return out + b"".join(sub(44, 105, c) for c in controls) + sub(44, 112, 1)


def server(*chunks):
    """The server's chunks: (delay, bytes), or bytes sent at once after the one before; a chunk
    longer than 255 bytes goes as several, the first one late."""
    pieces = []
    for c in chunks:
        delay, data = c if isinstance(c, tuple) else (0, c)
        pieces += [(delay if i == 0 else 0, data[i:i + 255]) for i in range(0, max(len(data), 1), 255)]
    return script(*pieces)


def net(name, flags, settings, frame_bytes, *chunks):
    write("rfc2217", name, bytes([flags, settings, len(frame_bytes)]) + frame_bytes + server(*chunks))


DATA = b"\x68" + bytes([IAC, IAC]) + sub(44, 107, 0) + bytes([IAC, 241]) + b"\x16"
RANDOM = bytes((i * 167 + 13) % 256 for i in range(255))
LATER = 30  # x 8 ms: after the set-up's wait for SET-CONTROL answers
net("ser2net_then_data", 0, LINE_8O1, FRAME_FF, GREETING, (1, answers()), (LATER, DATA))
net("every_control_confirmed", 0, LINE_8O1, FRAME_FF, GREETING, (1, answers(controls=(1, 8, 11))), (1, DATA))
net("confirmed_in_pieces", 0, LINE_8O1, FRAME_FF, *[(1, bytes([b])) for b in GREETING + answers()], (LATER, DATA))
net("data_in_pieces", 0, LINE_8O1, FRAME_FF, GREETING, (1, answers()), *[(LATER if i == 0 else 1, bytes([b])) for i, b in enumerate(DATA * 2)])
net("baud_with_ff_bytes", 0, 0x87, FRAME_FF, GREETING, (1, answers(baud=0xFF00FF)), (LATER, DATA))
net("even_parity_confirmed", 0, LINE_8O1, FRAME_FF, GREETING, (1, answers(parity=3)))
net("garbage_confirmations", 0, LINE_8O1, FRAME_FF, GREETING, (1, answers(baud=9600, data=7, stop=9, controls=(3, 9))))
net("answers_before_asked", 0, LINE_8O1, FRAME_FF, answers(controls=(1, 8, 11)), (200, GREETING))
net("refuses_com_port", 0, LINE_8O1, FRAME_FF, bytes([IAC, DONT, 44, IAC, WONT, 0]))
net("silent_server", 0, LINE_8O1, FRAME_FF)
net("closes_during_setup", 2, LINE_8O1, FRAME_FF, GREETING)
net("closes_after_data", 2, LINE_8O1, FRAME_FF, GREETING, (1, answers()), (LATER, DATA * 3))
net("subnegotiation_never_ends", 0xE0, LINE_8O1, FRAME_FF, GREETING, bytes([IAC, SB, 44, 101]), RANDOM.replace(b"\xff", b""))
net("option_storm", 0xE0, LINE_8O1, FRAME_FF, GREETING, b"".join(bytes([IAC, v, o]) for o in range(0, 256, 13) for v in (WILL, WONT, DO, DONT)))
net("random_200k_in_setup", 0xE0, LINE_8O1, FRAME_FF, GREETING, (1, RANDOM))
net("random_200k_as_data", 0xE0, LINE_8O1, FRAME_FF, GREETING, (1, answers()), (LATER, RANDOM))
net("stops_reading_in_setup", 0x18, LINE_8O1, FRAME_FF, GREETING, (1, answers()))
net("stops_reading_at_the_frame", 0x38, LINE_8O1, FRAME_FF, GREETING, (1, answers()), (LATER, DATA))
net("long_frame", 0x04, LINE_8O1, FRAME_FF, GREETING, (1, answers()), (LATER, DATA))
net("no_code_for_settings", 0, 0x1F, FRAME_FF, (100, GREETING))
net("raw_tcp", 1, LINE_8O1, FRAME_FF, DATA, (130, DATA))

# netname: a port name or a TQ330_PORTS list as typed
for name, text in [
    ("rfc2217_ipv4", "rfc2217://127.0.0.1:4000"),
    ("tcp_ipv6", "tcp://[::1]:7"),
    ("capitals_top_port", "TCP://serial-server.example:65535"),
    ("port_too_large", "tcp://host:65536"),
    ("port_zero", "tcp://host:0"),
    ("port_huge", "tcp://host:99999999999999999999"),
    ("no_host", "rfc2217://:4000"),
    ("no_port", "rfc2217://host"),
    ("open_bracket", "tcp://[::1:80"),
    ("bad_in_brackets", "tcp://[fe80::1%eth0]:7"),
    ("unknown_scheme", "telnet://host:23"),
    ("space_in_host", "tcp://ho st:80"),
    ("text_after_port", "tcp://host:80/x"),
    ("list", "/dev/pts/3:rfc2217://127.0.0.1:4000:tcp://[::1]:7:/dev/ttyS0"),
    ("long_list", "a:b:c:d:e:f:g:h:i:j:k"),
]:
    write("netname", name, text.encode())
