// Why this exists: termios can check parity on input only by replacing a faulty byte with NUL,
// dropping it, or marking it (PARMRK). The line delivers such a byte as received, so the port runs
// with marks and this decoder takes them off: 0xFF 0xFF is a genuine 0xFF, 0xFF 0x00 <byte> a byte
// received with a parity or framing error.
#include "link/com_internal.h"

size_t COM_DecodeMarked(ComMarkDecoder& d, const uint8_t* pIn, size_t n, uint8_t* pOut) {
    size_t out = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t c = pIn[i];
        switch (d.State) {
        case 0:
            if (c == 0xFF)
                d.State = 1;
            else
                pOut[out++] = c;
            break;
        case 1:
            // Anything but 0xFF or 0x00 after the mark cannot come from the line discipline; the
            // byte is kept and the stray mark dropped, so one raw byte never gives two.
            d.State = c == 0x00 ? 2 : 0;
            if (c != 0x00)
                pOut[out++] = c;
            break;
        default:
            pOut[out++] = c;
            d.State = 0;
            break;
        }
    }
    return out;
}
