# SPDX-License-Identifier: MIT
'''Shows each packet of the MCU line decoder's Python output as an annotation, for tests.'''

from .pd import Decoder
