# SPDX-License-Identifier: MIT
# Stacked on the MCU line decoder, it annotates every packet that decoder hands on, as
# Python's repr() writes it, so that a test reads the packets from sigrok-cli's output.

import sigrokdecode as srd


class Decoder(srd.Decoder):
    api_version = 3
    id = 'mculineprobe'
    name = 'MCU line probe'
    longname = 'Packets of the MCU line decoder'
    desc = 'Annotates each packet the MCU line decoder outputs, for tests.'
    license = 'mit'
    inputs = ['mculine']
    outputs = []
    tags = ['Debug/trace']
    annotations = (('packet', 'Packet'),)

    def reset(self):
        pass

    def start(self):
        self.out_ann = self.register(srd.OUTPUT_ANN)

    def decode(self, ss, es, data):
        self.put(ss, es, self.out_ann, [0, [repr(data)]])
