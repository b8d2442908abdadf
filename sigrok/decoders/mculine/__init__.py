# SPDX-License-Identifier: MIT
##
## The recorder board's MCU line, stacked on the UART decoder: ASCII power lines and binary
## frames field by field, the noise between them and why it is noise, and each
## acknowledgement tied to the request it answers.
##

'''
Decodes the serial line between the recorder board and its MCU (115200 baud, 8N1), in both
directions: ASCII power lines ("#x" + 12 hex digits + CR LF, checksum checked) and binary
frames (head 75 AA, len, serial number, flag with its ackBit, cmd with its table name,
payload, XOR checksum, tail 75 AA), with the receiving module's validity rules and
resynchronisation: a frame head the module would refuse is shown as refused, with why, and
the bytes that start no frame as noise. An acknowledgement is tied to the request it answers
(code, serial number, round trip).
'''

from .pd import Decoder
