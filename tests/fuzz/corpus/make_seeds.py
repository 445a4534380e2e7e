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
