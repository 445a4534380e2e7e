# The line-time floor of an update from the simulator's command log ("cmd=C addr=A len=N result=R"):
# the characters both sides put on the line for each exchange, at 11 bits a character at 57600 baud,
# plus the simulator's configured clear delay. Prints it beside the measured wall time (ts..te).
function frame(n) { return 9 + n }
{
  split($1, c, "="); cmd = c[2] + 0
  split($3, l, "="); len = l[2] + 0
  split($4, r, "="); res = r[2]
  if (cmd == 5) len = (n[5] % 2) ? 8 : 0                 # Get CRC logs its area: bare, then 8 bytes
  chars = frame(cmd == 2 ? len + 4 : len)                # the request
  if (res == "answer") chars += frame(15 + 5 + 23)       # identify answer (the simulator's two texts)
  else if (res == "ack" || res == "error") {
    if (cmd == 2 && res == "error") chars += frame(6)    # error frame in place of the Ack
    else chars += 1                                      # the Ack byte
    if (cmd == 1 || cmd == 4) chars += frame(0)          # blank answer
    if (cmd == 5) chars += frame(3)                      # CRC answer
  }
  total += chars; n[cmd]++
}
END {
  line = total * 11 / 57600
  floor = line + clear_ms / 1000
  wall = te - ts
  printf "exchanges: %d polls, %d clear, %d blocks, %d make valid, %d get CRC, %d start\n", n[0], n[1], n[2], n[3], n[5], n[7]
  printf "line characters: %d (%.3f s at 57600 baud, 8O1); clear delay %.3f s; floor %.3f s\n", total, line, clear_ms / 1000, floor
  printf "Start to final status: %.3f s = floor + %.3f s (%.2f%%)\n", wall, wall - floor, (wall - floor) * 100 / floor
}
