# SPDX-License-Identifier: MIT
##
## Protocol decoder for the recorder board's MCU line, stacked on 'uart'.
##

'''
Python output, for a decoder stacked on this one: packets [<ptype>, <rxtx>, <pdata>], rxtx as
the UART decoder gives it (0 RX, 1 TX):
 - 'FRAME': (serial number, flag, cmd, payload as bytes) of a frame the module would take.
 - 'POWER LINE': (the line's twelve characters before its checksum, whether the checksum is
   right).
 - 'NOISE': (the bytes, and None or the refusal of a frame head among them: 'oversize',
   'undersize', 'incomplete', 'checksum' or 'tail').
 - 'ANSWER': (cmd, serial number, result byte or None, round trip in seconds or None), rxtx
   the answer's direction, spanning its request's start to the answer's end.
'''

from collections import deque

import sigrokdecode as srd

HEAD = (0x75, 0xAA)
OVERHEAD = 7            # head 2, len 2, checksum 1, tail 2; len counts serial..payload
MIN_LEN, MAX_LEN = 4, 1028
ACK_BIT = 0x40
NOISE_ITEM_MAX = 4096
QUIET_SECONDS = 0.05    # the module's receiver gives up an unfinished frame after this
LINE_SIZE = 16          # '#', 'x', 12 upper-case hex digits, CR, LF

# The command table: code and flag byte; code 6 has a name of its own.
TABLE = {
    0x0002: 0x41, 0x0003: 0x41, 0x0004: 0x41, 0x0005: 0x01, 0x0006: 0x41, 0x0007: 0x41,
    0x0008: 0x01, 0x0009: 0x41, 0x000F: 0x41, 0x0010: 0x41, 0x0011: 0x41, 0x0016: 0x41,
    0x0017: 0x41, 0x0019: 0x01, 0x001C: 0x01, 0x0021: 0x01, 0x0082: 0x41, 0x0083: 0x41,
    0x0303: 0x51, 0x0304: 0x51, 0x0306: 0x51, 0x0309: 0x51, 0x031C: 0x51, 0x031E: 0x51,
    0x0320: 0x51, 0x0321: 0x51, 0x0322: 0x51, 0x0330: 0x41, 0x0332: 0x11, 0x0335: 0x41,
    0x0404: 0x51,
}

REFUSED = {
    'oversize': 'whose len is above 1028',
    'undersize': 'whose len is below 4',
    'incomplete': 'whose frame never came whole',
    'checksum': 'whose checksum is wrong',
    'tail': 'whose tail is wrong',
}

# Annotation classes, per direction (RX first) an item (frame, power line, noise) and a
# field, then the errors and the answers tied to their requests.
ANNOTATIONS = (
    ('rx-frame', 'RX frame'),
    ('rx-line', 'RX line'),
    ('rx-noise', 'RX noise'),
    ('rx-field', 'RX field'),
    ('tx-frame', 'TX frame'),
    ('tx-line', 'TX line'),
    ('tx-noise', 'TX noise'),
    ('tx-field', 'TX field'),
    ('error', 'Error'),
    ('ack', 'Acknowledgement'),
)
(A_RX_FRAME, A_RX_LINE, A_RX_NOISE, A_RX_FIELD,
 A_TX_FRAME, A_TX_LINE, A_TX_NOISE, A_TX_FIELD, A_ERROR, A_ACK) = range(len(ANNOTATIONS))
# The class of each item and field, indexed by direction (the UART decoder's rxtx).
A_FRAME = (A_RX_FRAME, A_TX_FRAME)
A_LINE = (A_RX_LINE, A_TX_LINE)
A_NOISE = (A_RX_NOISE, A_TX_NOISE)
A_FIELD = (A_RX_FIELD, A_TX_FIELD)

ANNOTATION_ROWS = (
    ('rx-items', 'RX frames', (A_RX_FRAME, A_RX_LINE, A_RX_NOISE)),
    ('tx-items', 'TX frames', (A_TX_FRAME, A_TX_LINE, A_TX_NOISE)),
    ('rx-fields', 'RX fields', (A_RX_FIELD,)),
    ('tx-fields', 'TX fields', (A_TX_FIELD,)),
    ('errors', 'Errors', (A_ERROR,)),
    ('acks', 'Acknowledgements', (A_ACK,)),
)


def cmd_name(code):
    if code == 0x0006:
        return 'CMD_ALARM_OUT_POWER'
    return 'CMD_%04X' % code if code in TABLE else 'not in the command table'


def judge(value, available):
    '''What the front of the pending bytes is, value(i) giving byte i of the available ones
    (at least 2): ('frame', length), ('nohead',), ('incomplete', bytes needed to decide), or
    a refusal ('oversize' | 'undersize' | 'checksum' | 'tail', details).'''
    if value(0) != HEAD[0] or value(1) != HEAD[1]:
        return ('nohead',)
    if available < 4:
        return ('incomplete', 4)
    length = value(2) << 8 | value(3)
    if length > MAX_LEN:
        return ('oversize', length)
    if length < MIN_LEN:
        return ('undersize', length)
    if available < length + OVERHEAD:
        return ('incomplete', length + OVERHEAD)
    expected = 0
    for i in range(2, length + 4):
        expected ^= value(i)
    if value(length + 4) != expected:
        return ('checksum', value(length + 4), expected)
    if value(length + 5) != HEAD[0] or value(length + 6) != HEAD[1]:
        return ('tail', value(length + 5), value(length + 6))
    return ('frame', length + OVERHEAD)


def could_be_line(data):
    for i, c in enumerate(data[:LINE_SIZE]):
        if i == 0:
            ok = c == 0x23
        elif i == 1:
            ok = c == 0x78
        elif i < 14:
            ok = 0x30 <= c <= 0x39 or 0x41 <= c <= 0x46
        elif i == 14:
            ok = c == 0x0D
        else:
            ok = c == 0x0A
        if not ok:
            return False
    return True


class Direction:
    '''One direction's bytes, as the module's stream scanner and the line splitter see them.'''

    def __init__(self):
        self.bytes = []   # (value, start sample, end sample); those before 'at' are decided
        self.at = 0
        self.need = 2     # bytes the scanner waits for before it judges the front again
        self.text = []    # dropped bytes not yet told apart into power lines and noise
        self.noise = []   # the noise item being gathered
        self.noise_reason = None
        self.refused = deque()  # (position in the text stream, reason) of refused heads
        self.dropped = 0   # bytes moved to the text stream so far
        self.text_start = 0
        self.last_es = 0   # end of the last byte seen
        self.data = None   # the UART's last data byte, until its frame ends good or bad
        self.fault = None  # what the UART found wrong in the frame being received

    def pending(self):
        return len(self.bytes) - self.at

    def value(self, i):
        return self.bytes[self.at + i][0]

    # Decided bytes leave the front; the list is cut only now and then, so that a long run
    # costs each byte a constant share.
    def take(self, count):
        taken = self.bytes[self.at:self.at + count]
        self.at += count
        if self.at >= 4096 and self.at * 2 >= len(self.bytes):
            del self.bytes[:self.at]
            self.at = 0
        return taken


class Decoder(srd.Decoder):
    api_version = 3
    id = 'mculine'
    name = 'MCU line'
    longname = 'Recorder board MCU line'
    desc = 'Power lines and frames between the recorder board and its MCU.'
    license = 'mit'
    inputs = ['uart']
    outputs = ['mculine']
    tags = ['Embedded/industrial']
    options = (
        {'id': 'quiet_ms', 'desc': 'Give up an unfinished frame after (ms; 0: never)',
         'default': 50},
    )
    annotations = ANNOTATIONS
    annotation_rows = ANNOTATION_ROWS

    def __init__(self):
        self.reset()

    def reset(self):
        self.samplerate = None
        self.dirs = [Direction(), Direction()]
        self.waiting = [{}, {}]  # per direction: cmd -> (serial, start sample) of requests
        self.early = [[], []]    # per direction: answers no request was waiting for

    def start(self):
        self.out_ann = self.register(srd.OUTPUT_ANN)
        self.out_python = self.register(srd.OUTPUT_PYTHON)

    def metadata(self, key, value):
        if key == srd.SRD_CONF_SAMPLERATE:
            self.samplerate = value

    def put_ann(self, ss, es, cls, texts):
        self.put(ss, es, self.out_ann, [cls, texts])

    def put_python(self, ss, es, packet):
        self.put(ss, es, self.out_python, packet)

    def decode(self, ss, es, data):
        ptype, rxtx, pdata = data
        d = self.dirs[rxtx]
        if ptype == 'IDLE':
            self.settle_if_quiet(rxtx, ss)
        elif ptype == 'DATA':
            d.data = (pdata[0], ss, es)
        elif ptype == 'PARITY ERROR':
            d.fault = 'parity error'
        elif ptype == 'INVALID STOPBIT':
            d.fault = 'framing error'
        elif ptype == 'FRAME':
            self.uart_frame(rxtx, ss, es, pdata[1])
        elif ptype == 'BREAK':
            self.put_ann(ss, es, A_ERROR, ['UART break', 'break', 'E'])

    # The UART decoder's frame ends a byte. One it flags (a wrong stop or parity bit) is read
    # by the board's receiver as 00, as its line is set neither to ignore nor to mark such
    # bytes; a start bit that did not hold gives the receiver no byte at all.
    def uart_frame(self, rxtx, ss, es, valid):
        d = self.dirs[rxtx]
        data, fault = d.data, d.fault
        d.data, d.fault = None, None
        if data is None:
            self.put_ann(ss, es, A_ERROR, ['UART start bit did not hold: no byte',
                                           'start bit', 'E'])
            return
        if valid:
            self.byte(rxtx, *data)
            return
        reason = fault or 'framing error'
        self.put_ann(ss, es, A_ERROR, ['UART %s: byte %02x read as 00' % (reason, data[0]),
                                       reason, 'E'])
        self.byte(rxtx, 0, data[1], data[2])

    # Once a direction's line has been quiet for quiet_ms, what waits for more bytes is
    # decided, as the receiver does.
    def settle_if_quiet(self, rxtx, ss):
        d = self.dirs[rxtx]
        quiet = self.options['quiet_ms'] / 1000.0
        waiting = d.pending() or d.text or d.noise
        if waiting and self.samplerate and quiet > 0 and \
                (ss - d.last_es) / self.samplerate >= quiet:
            self.scan(rxtx, idle=True)

    def byte(self, rxtx, value, ss, es):
        d = self.dirs[rxtx]
        self.settle_if_quiet(rxtx, ss)
        d.bytes.append((value, ss, es))
        d.last_es = es
        self.scan(rxtx, idle=False)

    # The module's stream scanner: frames, and what is dropped on the way. A frame that is
    # not whole yet is judged again only when the bytes it needs are there.
    def scan(self, rxtx, idle):
        d = self.dirs[rxtx]
        while d.pending() >= 2 and (idle or d.pending() >= d.need):
            verdict = judge(d.value, d.pending())
            kind = verdict[0]
            d.need = 2
            if kind == 'frame':
                self.settle_text(rxtx, final=True)
                self.emit_noise(rxtx)
                self.frame(rxtx, d.take(verdict[1]))
                continue
            if kind == 'incomplete' and not idle:
                d.need = verdict[1]
                break
            if kind == 'nohead':
                count = 1
                if d.value(0) != HEAD[0]:
                    while count < d.pending() and d.value(count) != HEAD[0]:
                        count += 1
                self.drop(rxtx, count, None)
            else:
                count = 2 if kind == 'oversize' else 1
                self.refusal(rxtx, verdict)
                self.drop(rxtx, count, kind)
        if d.pending() == 1 and (idle or d.value(0) != HEAD[0]):
            self.drop(rxtx, 1, None)
        self.settle_text(rxtx, final=idle)
        if idle:
            self.emit_noise(rxtx)

    def drop(self, rxtx, count, reason):
        d = self.dirs[rxtx]
        if reason is not None:
            d.refused.append((d.dropped, reason))
        if not d.text:
            d.text_start = d.dropped
        d.text.extend(d.take(count))
        d.dropped += count

    # Dropped bytes: power lines where they stand whole, noise in between.
    def settle_text(self, rxtx, final):
        d = self.dirs[rxtx]
        at = 0
        values = [b[0] for b in d.text]
        while at < len(values):
            left = len(values) - at
            if values[at] == 0x23:
                if left >= LINE_SIZE and could_be_line(values[at:at + LINE_SIZE]):
                    self.emit_noise(rxtx)
                    self.power_line(rxtx, d.text[at:at + LINE_SIZE])
                    at += LINE_SIZE
                    continue
                if left < LINE_SIZE and not final and could_be_line(values[at:]):
                    break
            run = 1
            while at + run < len(values) and values[at + run] != 0x23:
                run += 1
            self.add_noise(rxtx, d.text[at:at + run], d.text_start + at)
            at += run
        del d.text[:at]
        d.text_start += at

    def add_noise(self, rxtx, items, position):
        d = self.dirs[rxtx]
        at = 0
        while at < len(items):
            take = min(len(items) - at, NOISE_ITEM_MAX - len(d.noise))
            while d.refused and d.refused[0][0] < position + at + take:
                if d.noise_reason is None:
                    d.noise_reason = d.refused[0][1]
                d.refused.popleft()
            d.noise.extend(items[at:at + take])
            at += take
            if len(d.noise) == NOISE_ITEM_MAX:
                self.emit_noise(rxtx)

    def emit_noise(self, rxtx):
        d = self.dirs[rxtx]
        if not d.noise:
            return
        n = len(d.noise)
        text = '%d byte%s of noise' % (n, '' if n == 1 else 's')
        if d.noise_reason is not None:
            text += ' (holds a frame head %s)' % REFUSED[d.noise_reason]
        short = 'noise %d' % n
        ss, es = d.noise[0][1], d.noise[-1][2]
        self.put_ann(ss, es, A_NOISE[rxtx], [text, short, 'N'])
        self.put_python(ss, es, ['NOISE', rxtx, (bytes(b[0] for b in d.noise), d.noise_reason)])
        d.noise = []
        d.noise_reason = None

    def refusal(self, rxtx, verdict):
        d = self.dirs[rxtx]
        ss, es = d.bytes[d.at][1], d.bytes[d.at + min(d.pending(), 2) - 1][2]
        kind = verdict[0]
        if kind == 'checksum':
            text = 'frame head refused: checksum %02x, expected %02x' % (verdict[1], verdict[2])
        elif kind == 'tail':
            text = 'frame head refused: tail %02x %02x, expected 75 aa' % (verdict[1], verdict[2])
        elif kind in ('oversize', 'undersize'):
            text = 'frame head refused: len %d %s' % (
                verdict[1], 'above 1028' if kind == 'oversize' else 'below 4')
        else:
            text = 'frame head refused: the frame never came whole'
        self.put_ann(ss, es, A_ERROR, [text, 'refused: ' + kind, 'E'])

    def field(self, rxtx, items, texts):
        self.put_ann(items[0][1], items[-1][2], A_FIELD[rxtx], texts)

    def frame(self, rxtx, items):
        v = [b[0] for b in items]
        length = v[2] << 8 | v[3]
        serial, flag, cmd = v[4], v[5], v[6] << 8 | v[7]
        payload = v[8:length + 4]
        ack = 1 if flag & ACK_BIT else 0
        self.field(rxtx, items[0:2], ['head 75 aa', 'head', 'H'])
        self.field(rxtx, items[2:4], ['len %d' % length, 'len', 'L'])
        self.field(rxtx, items[4:5], ['serial %d' % serial, 'ser', 'S'])
        self.field(rxtx, items[5:6], ['flag 0x%02x (ackBit %d)' % (flag, ack), 'flag', 'F'])
        self.field(rxtx, items[6:8], ['cmd %04x %s' % (cmd, cmd_name(cmd)), '%04x' % cmd, 'C'])
        if payload:
            self.field(rxtx, items[8:length + 4],
                       ['payload ' + ' '.join('%02x' % b for b in payload), 'payload', 'P'])
        self.field(rxtx, items[length + 4:length + 5],
                   ['checksum %02x ok' % v[length + 4], 'sum ok', 'X'])
        self.field(rxtx, items[length + 5:], ['tail 75 aa', 'tail', 'T'])
        self.put_ann(items[0][1], items[-1][2], A_FRAME[rxtx], [
            'frame: len %d, serial %d, flag 0x%02x (ackBit %d), cmd 0x%04x %s' % (
                length, serial, flag, ack, cmd, cmd_name(cmd)),
            'frame %04x' % cmd, 'F'])
        self.put_python(items[0][1], items[-1][2],
                        ['FRAME', rxtx, (serial, flag, cmd, bytes(payload))])
        self.tie(rxtx, items, cmd, serial, ack, payload)

    # A request with the ackBit waits for its answer from the other direction: same code,
    # payload byte 0 its serial number (any serial number for command 4). In a simulated
    # trace, whose line is not paced, an answer may even start before its request's bytes:
    # answers no request waited for are kept for a request that starts at most the quiet
    # time after them.
    def tie(self, rxtx, items, cmd, serial, ack, payload):
        ss, es = items[0][1], items[-1][2]
        if payload:
            asked = self.waiting[1 - rxtx].get(cmd)
            if asked is not None and (cmd == 0x0004 or payload[0] == asked[0]):
                del self.waiting[1 - rxtx][cmd]
                self.tie_up(rxtx, cmd, asked[0], asked[1], es, payload)
            else:
                early = self.early[rxtx]
                early.append((cmd, payload, ss, es))
                del early[:-8]
        if not ack:
            return
        slack = self.samplerate * self.options['quiet_ms'] / 1000.0 if self.samplerate else 0
        for answer in self.early[1 - rxtx]:
            acmd, apayload, ass, aes = answer
            if acmd == cmd and ass >= ss - slack and (cmd == 0x0004 or apayload[0] == serial):
                self.early[1 - rxtx].remove(answer)
                self.tie_up(1 - rxtx, cmd, serial, ss, max(es, aes), apayload)
                return
        self.waiting[rxtx][cmd] = (serial, ss)

    def tie_up(self, rxtx, cmd, serial, ss, es, payload):
        rtt = ''
        seconds = None
        if self.samplerate:
            seconds = (es - ss) / float(self.samplerate)
            rtt = ', round trip %.3f ms' % (seconds * 1000.0)
        result = payload[1] if len(payload) > 1 else None
        said = ', result 0x%02x' % result if result is not None else ''
        self.put_ann(ss, es, A_ACK, ['answer to %04x serial %d%s%s' % (cmd, serial, said, rtt),
                                     'ack %04x' % cmd, 'A'])
        self.put_python(ss, es, ['ANSWER', rxtx, (cmd, serial, result, seconds)])

    def power_line(self, rxtx, items):
        v = [b[0] for b in items]
        text = bytes(v[:14]).decode('ascii')
        total = sum(v[:12])
        sent = int(text[12:14], 16)
        digit = text[8]
        power = {'1': 'power on', '5': 'power off'}.get(digit, 'unknown power digit')
        ok = sent == total & 0xFF
        self.field(rxtx, items[0:12], ['"%s": %s (digit %s)' % (text[:12], power, digit),
                                       power, 'D'])
        self.field(rxtx, items[12:14], [
            'checksum %02X ok' % sent if ok else
            'checksum %02X WRONG, expected %02X' % (sent, total & 0xFF), 'sum', 'X'])
        self.field(rxtx, items[14:16], ['CR LF', 'CRLF', 'E'])
        if not ok:
            self.put_ann(items[12][1], items[13][2], A_ERROR,
                         ['power line checksum %02X, expected %02X' % (sent, total & 0xFF),
                          'checksum', 'E'])
        self.put_ann(items[0][1], items[-1][2], A_LINE[rxtx], [
            'ascii line "%s" CR LF: %s (digit \'%s\'), checksum %02X %s' % (
                text, power, digit, sent, 'ok' if ok else 'WRONG'),
            'line ' + power, 'L'])
        self.put_python(items[0][1], items[-1][2], ['POWER LINE', rxtx, (text[:12], ok)])
