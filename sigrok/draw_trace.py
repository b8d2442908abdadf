#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Draws a decoded trace of the MCU line as a logic analyzer's viewer shows it: the two
signals of a Value Change Dump (as mcusim --vcd writes it) and, below them, the rows of the
mculine protocol decoder, each annotation a box with the longest of its texts that fits.

    draw_trace.py TRACE.vcd OUT.svg [FROM_MS TO_MS]

By default it shows the first request that was answered and its answer, with 1.5 ms of the
line on each side; FROM_MS and TO_MS choose another stretch.

The annotations come from sigrok-cli (the decoder is found through SIGROKDECODE_DIR, set to
the decoders folder beside this script when unset); the picture is SVG, so a README shows it as it is.
"""
import html
import os
import re
import subprocess
import sys

ROWS = [('rx-items', 'RX frames', '#f4c27a'), ('rx-fields', 'RX fields', '#fbe3b8'),
        ('tx-items', 'TX frames', '#9fd0a4'), ('tx-fields', 'TX fields', '#d4ecd6'),
        ('errors', 'Errors', '#f19999'), ('acks', 'Acknowledgements', '#a9c4ec')]
SIGNALS = ['host_tx', 'mcu_tx']
WIDTH, LEFT, ROW, CHAR = 1400, 150, 26, 6.6


def vcd_changes(path):
    """Per signal, its changes as (time in timescale units, value), and the timescale in s."""
    ids, changes, now, scale = {}, {}, 0, 1e-9
    with open(path) as f:
        for line in f:
            words = line.split()
            if not words:
                continue
            if words[0] == '$timescale':
                number, unit = re.match(r'(\d+)\s*(\w+)', ' '.join(words[1:3])).groups()
                scale = int(number) * {'s': 1, 'ms': 1e-3, 'us': 1e-6, 'ns': 1e-9,
                                       'ps': 1e-12}[unit]
            elif words[0] == '$var':
                ids[words[3]] = words[4]
                changes[words[4]] = []
            elif words[0].startswith('#'):
                now = int(words[0][1:])
            elif words[0][0] in '01' and words[0][1:] in ids:
                changes[ids[words[0][1:]]].append((now, int(words[0][0])))
    return changes, scale


def annotations(path, row):
    env = dict(os.environ)
    here = os.path.dirname(os.path.abspath(__file__))
    env.setdefault('SIGROKDECODE_DIR', os.path.join(here, 'decoders'))
    out = subprocess.run(
        ['sigrok-cli', '-i', path, '-P', 'uart:baudrate=115200:rx=host_tx:tx=mcu_tx,mculine',
         '-A', 'mculine=' + row, '--protocol-decoder-samplenum'],
        capture_output=True, text=True, env=env, check=True).stdout
    found = []
    for line in out.splitlines():
        m = re.match(r'(\d+)-(\d+) mculine-\d+: (.*)', line)
        if m:
            found.append((int(m.group(1)), int(m.group(2)), m.group(3)))
    return found


def main():
    if len(sys.argv) not in (3, 5):
        sys.exit(__doc__)
    trace, out = sys.argv[1], sys.argv[2]
    changes, scale = vcd_changes(trace)
    rows = [(name, title, colour, annotations(trace, name)) for name, title, colour in ROWS]
    # By default, the first request and its answer, with a little of the line before and after.
    found = dict((name, f) for name, _, _, f in rows)
    margin = int(0.0015 / scale)
    if found['acks']:
        first, last = found['acks'][0][0] - margin, found['acks'][0][1] + margin
    else:
        first = min(a[0] for _, _, _, f in rows for a in f)
        last = max(a[1] for _, _, _, f in rows for a in f)
    if len(sys.argv) == 5:
        first, last = (int(float(ms) / 1000 / scale) for ms in sys.argv[3:5])
    span = (last - first) * 1.02 or 1

    def x(t):
        return LEFT + (t - first) * (WIDTH - LEFT - 10) / span

    height = ROW * (len(SIGNALS) + len(rows)) + 40
    svg = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" '
           'font-family="monospace" font-size="11">' % (WIDTH, height),
           '<rect width="100%" height="100%" fill="#1e1e1e"/>']
    y = 10
    for signal in SIGNALS:
        svg.append('<text x="8" y="%d" fill="#ddd">%s</text>' % (y + 16, signal))
        points, level = [], 1
        for t, v in changes.get(signal, []):
            if t > last:
                break
            if t >= first:
                points += ['%.1f,%d' % (x(t), y + (4 if level else 20)),
                           '%.1f,%d' % (x(t), y + (4 if v else 20))]
            level = v
        points = ['%.1f,%d' % (LEFT, y + 20 - 16 * points_level(changes, signal, first))] + \
            points + ['%.1f,%d' % (x(last), y + (4 if level else 20))]
        svg.append('<polyline fill="none" stroke="#7fe07f" points="%s"/>' % ' '.join(points))
        y += ROW
    for _, title, colour, found in rows:
        svg.append('<text x="8" y="%d" fill="#ddd">%s</text>' % (y + 16, title))
        for ss, es, text in found:
            if es < first or ss > last:
                continue
            left, right = x(max(ss, first)), x(min(es, last))
            width = max(right - left, 2)
            # As a viewer does: the whole text where it fits, else a shorter form of it.
            shorter = (text, text.split(' (')[0], text.split(':')[0], text.split(' ')[0], text[0])
            fits = next((t for t in shorter if len(t) * CHAR < width - 4), '')
            svg.append('<rect x="%.1f" y="%d" width="%.1f" height="%d" rx="3" fill="%s"/>'
                       % (left, y + 3, width, ROW - 6, colour))
            if fits:
                svg.append('<text x="%.1f" y="%d" fill="#111">%s</text>'
                           % (left + 3, y + 17, html.escape(fits)))
        y += ROW
    ms = (last - first) * scale * 1000
    svg.append('<text x="%d" y="%d" fill="#aaa">%.3f ms shown, from %.3f ms</text>'
               % (LEFT, y + 18, ms, first * scale * 1000))
    svg.append('</svg>')
    with open(out, 'w') as f:
        f.write('\n'.join(svg) + '\n')


def points_level(changes, signal, at):
    level = 1
    for t, v in changes.get(signal, []):
        if t > at:
            break
        level = v
    return level


if __name__ == '__main__':
    main()
