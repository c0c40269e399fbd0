#!/usr/bin/env python3
"""Writes the seed corpora of the binary-input fuzz targets (channel, records,
library_header)
into fuzz/corpus/<target>/. Run again after changing an input format:
    fuzz/make_seeds.py
The interpreter target's seeds are plain command texts, kept by hand."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# ---- channel: see the input format at the top of fuzz_channel.cc ----

def write(text, command_channel=False, null_pointer=False):
    op = (0 if command_channel else 8) | (16 if null_pointer else 0)
    data = text.encode('latin-1') if isinstance(text, str) else text
    if len(data) < 255:
        return bytes([op, len(data)]) + data
    return bytes([op, 255]) + struct.pack('<H', len(data)) + data

POLL = bytes([3])
CLOSE = bytes([7])

def statuses(*indexes):
    return bytes([4, len(indexes)]) + bytes(indexes)

def reopen(version, outcome=0):
    return bytes([5, version, outcome])

def recording(sub, *payload):
    return bytes([6, sub]) + bytes(payload)

def flags(hpc=False, log=False, library=0):
    return bytes([(1 if hpc else 0) | (2 if log else 0) | (library << 2)])

CHANNEL = {
    'greeting': flags() + write('Hello') + POLL + write('QuarnClientDriverVersion') + POLL,
    'greeting-hpc': flags(hpc=True) + write('Hello') + write('Hello|x|', command_channel=True) + POLL,
    'logged': flags(log=True) + write('Hello') + POLL + write('Nope|a|') + POLL,
    'simulated-instrument-session': flags(library=1) + b''.join(
        write(c) + POLL for c in ['Connect', 'Measure', 'GetSpectralDataAll|0|', 'GetSerialNumber',
                                  'SetOption|Patch|Red|', 'GetCalSteps', 'Execute|Status|',
                                  'GetSampleData|1|30|', 'SetLanguage|1036|', 'Disconnect']),
    'recording-texts': flags(library=2) + recording(0, 5) + b'abcde' + b''.join(
        write(c) + POLL for c in ['GetSerialNumber', 'GetAngleValue|1|', 'GetOption|x|',
                                  'Execute|y|', 'GetCalMode|z|']),
    'recording-null': flags(hpc=True, library=2) + recording(2) + write('GetLastErrorString') + POLL,
    'recording-long-hpc': flags(hpc=True, library=2) + recording(1, 70, ord('x'), 3) +
                          write('GetSerialNumber') + POLL,
    'recording-long': flags(library=2) + recording(1, 64, ord('y'), 0) + write('GetCalSteps') + POLL,
    'recording-throws': flags(library=2) + b''.join(
        recording(3, kind) + write('Connect') + POLL for kind in range(5)),
    'recording-values': flags(library=2) + recording(4, 0xF3) + recording(5, 0x7F, 0xC0, 0, 0) +
                        write('GetSpectralData|0|0|') + POLL + write('GetAngles') + POLL +
                        write('IsConnected') + POLL,
    'refusals': flags() + statuses(1, 2, 3, 4, 5, 6, 7) + write('Hello') + POLL * 8,
    'refusals-hpc': flags(hpc=True) + statuses(1, 3, 5) + write('Hello') + POLL + write('Nope') + POLL * 3,
    'replaced': flags() + write('First') + write('Second', command_channel=True) + POLL + POLL,
    'reopen': flags() + write('Hello') + reopen(1) + POLL + write('Hello') + reopen(0, 1) +
              write('Hello') + POLL + reopen(2, 2) + write('Hello') + POLL,
    'close': flags() + write('Hello') + CLOSE + POLL + write('Init|missingexport|') + POLL,
    'null-pointer': flags() + write('Hello', null_pointer=True) + POLL,
    'long-write': flags(hpc=True) + write('L' * 3000) + POLL,
    'init-names': flags() + b''.join(write(c) + POLL for c in [
        'Init|recordingspectro|', 'Init|../simspectro|', 'Init|sub/simspectro|', 'Init|a:b|',
        'Init|simspectro', 'Init||', 'Init|simspectro|']),
    'parameters': flags() + b''.join(write(c) + POLL for c in [
        'SetLanguage|-1|', 'SetLanguage|65536|', 'GetSpectralData|1|', 'GetAngleValue|0x10|',
        'GetSampleData| 1|2|', 'SetOption||||', '|A|', '']),
}

# ---- records: see the input format at the top of fuzz_records.cc ----

def setup(first=0, second=0, max_write=1000):
    return bytes([first, second]) + struct.pack('<H', max_write)

def info(length, name=b'', null_buffer=False):
    body = name + bytes(max(0, length - len(name)))
    return bytes([0 | (8 if null_buffer else 0)]) + struct.pack('<H', length) + body[:length]

def query(klass, length, null_buffer=False):
    return bytes([2 | (8 if null_buffer else 0)]) + struct.pack('<II', klass, length)

RECORDS = {
    'plain': setup() + info(48, b'\0' * 6 + b'VDQRN\0') + query(0, 292) + POLL,
    'hpc': setup(1, 0x50) + info(47) + info(48, b'x' * 48) + query(0, 291) + query(5, 16),
    'module-name-unterminated': setup() + info(64, b'\0' * 6 + b'ABCDEFGHIJKLM' + b'Z' * 20),
    'null-records': setup() + bytes([1, 3, 5, 8 + 4]) + info(48, null_buffer=True) +
                    query(0, 292, null_buffer=True),
    'large-query': setup() + query(0, 0xFFFFFFFF) + query(0, 70000) + query(0xFFFFFFFF, 1),
    'set-information': setup() + bytes([4]) + struct.pack('<I', 92) + bytes([4 + 8]) +
                       struct.pack('<I', 0xFFFFFFFF),
    'hooks-refused': setup(1 | 2 | 4) + info(48) + POLL,
    'tables-missing': setup(8 | 16) + info(48),
    'set-missing-hpc': setup(1 | 32) + info(48),
    'query-missing': setup(64) + info(48),
    'opens-fail': setup(128) + info(48),
    'data-open-fails': setup(0, 1 | 2 | 4 | 8) + info(48),
    'version-fails-hpc': setup(1, 2) + info(48),
    'hpc-properties-fail': setup(1, 4) + info(48),
    'relink': setup() + bytes([6, 0]) + bytes(range(56)) + bytes([6, 1]) + bytes(56) +
              bytes([6, 2]) + bytes(56) + bytes([7]) + bytes(56) + bytes([7 + 8]),
    'zero-write-size': setup(0, 0, 0) + info(48),
}


# ---- library_header: a library file's first bytes ----

def elf(word_class, machine):
    return b'\x7fELF' + bytes([word_class, 1, 1]) + bytes(11) + struct.pack('<HH', 3, machine)

def pe(machine, offset=0x80):
    dos = bytearray(b'MZ' + bytes(0x3A) + struct.pack('<I', offset))
    dos += bytes(max(0, offset - len(dos)))
    return bytes(dos) + b'PE\0\0' + struct.pack('<H', machine) + bytes(18)

LIBRARY_HEADER = {
    'elf32-i386': elf(1, 3),
    'elf64-x86-64': elf(2, 62),
    'elf32-arm': elf(1, 40),
    'elf64-aarch64': elf(2, 183),
    'pe32-i386': pe(0x014C),
    'pe32plus-x86-64': pe(0x8664),
    'pe-offset-near-4g': pe(0x014C)[:0x3C] + struct.pack('<I', 0xFFFFFFFC) + pe(0x014C)[0x40:],
    'pe-offset-at-end': pe(0x014C, 0x40)[:0x44],
}


def save(target, seeds):
    folder = os.path.join(HERE, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), 'wb') as file:
            file.write(data)


if __name__ == '__main__':
    save('channel', CHANNEL)
    save('records', RECORDS)
    save('library_header', LIBRARY_HEADER)
