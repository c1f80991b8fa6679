#!/usr/bin/env python3
"""The ten monitor values read the way a psutil-based monitor reads them, for comparison with
our sensor library on the same fixture machine.

Per cycle: psutil.cpu_percent(), psutil.cpu_freq(), psutil.sensors_temperatures() and
psutil.sensors_fans() once each (the processor's and the graphics card's temperatures and fans
come from the same calls), the RAPL package counter from its sysfs file, and the graphics card
from its driver: NVML through ctypes (as pynvml does) for an NVIDIA card, the amdgpu sysfs
files otherwise.

Prints one JSON object: the processor time per cycle (µs, this process only, sleeps excluded)
and the last cycle's values.
"""
import argparse
import ctypes
import glob
import json
import os
import time

import psutil


def read_number(path):
    with open(path) as f:
        return float(f.read().strip())


class NvidiaCard:
    def __init__(self, library, address):
        self.nvml = ctypes.CDLL(library)
        self.nvml.nvmlInit_v2()
        self.device = ctypes.c_void_p()
        self.nvml.nvmlDeviceGetHandleByPciBusId_v2(address.encode(), ctypes.byref(self.device))

    def read(self):
        value = ctypes.c_uint()
        self.nvml.nvmlDeviceGetTemperature(self.device, 0, ctypes.byref(value))
        temp = value.value
        self.nvml.nvmlDeviceGetClockInfo(self.device, 0, ctypes.byref(value))
        clock = value.value
        fan = (ctypes.c_uint * 3)((3 * 4) | (1 << 24), 0, 0)
        self.nvml.nvmlDeviceGetFanSpeedRPM(self.device, fan)
        self.nvml.nvmlDeviceGetPowerUsage(self.device, ctypes.byref(value))
        power = value.value / 1000.0
        util = (ctypes.c_uint * 2)()
        self.nvml.nvmlDeviceGetUtilizationRates(self.device, util)
        return temp, clock, fan[2], power, util[0]


class AmdCard:
    def __init__(self, device):
        self.device = device
        self.hwmon = glob.glob(device + '/hwmon/hwmon*')[0]

    def read(self):
        with open(self.device + '/pp_dpm_sclk') as f:
            clock = next(float(line.split(':')[1].strip().rstrip('*').strip().rstrip('Mhz'))
                         for line in f if '*' in line)
        power = read_number(self.hwmon + '/power1_average') / 1e6
        load = read_number(self.device + '/gpu_busy_percent')
        return clock, power, load


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--proc', required=True)
    parser.add_argument('--cycles', type=int, default=40)
    parser.add_argument('--interval', type=float, default=0.11)
    parser.add_argument('--nvml', default='')
    args = parser.parse_args()

    psutil.PROCFS_PATH = args.proc
    rapl = '/sys/class/powercap/intel-rapl:0/energy_uj'
    cards = [d for d in sorted(glob.glob('/sys/bus/pci/devices/*'))
             if open(d + '/class').read().startswith('0x03')]
    nvidia = None
    amd = None
    for card in cards:
        vendor = open(card + '/vendor').read().strip()
        if vendor == '0x10de' and args.nvml:
            nvidia = NvidiaCard(args.nvml, os.path.basename(card))
        elif vendor == '0x1002':
            amd = AmdCard(card)

    has_rapl = os.path.exists(rapl)
    psutil.cpu_percent(interval=None)
    last_energy = read_number(rapl) if has_rapl else 0.0
    last_time = time.monotonic()
    values = {}
    spent = 0.0
    for _ in range(args.cycles):
        time.sleep(args.interval)
        started = time.process_time()
        load = psutil.cpu_percent(interval=None)
        freq = psutil.cpu_freq()
        clock = freq.current if freq else 0.0
        temps = psutil.sensors_temperatures()
        fans = psutil.sensors_fans()
        now = time.monotonic()
        power = 0.0
        if has_rapl:
            energy = read_number(rapl)
            power = (energy - last_energy) / 1e6 / (now - last_time)
            last_energy, last_time = energy, now

        cpu_temp = 0.0
        for chip, entries in temps.items():
            if chip == 'coretemp':
                cpu_temp = next((e.current for e in entries if e.label.startswith('Package')),
                                cpu_temp)
            elif chip == 'k10temp':
                labels = {e.label: e.current for e in entries}
                cpu_temp = labels.get('Tdie', labels.get('Tctl', cpu_temp))
        board = [e for chip, entries in fans.items() if chip not in ('amdgpu',) for e in entries]
        cpu_fan = next((e.current for e in board if 'cpu' in e.label.lower()),
                       board[0].current if board else 0.0)
        values = {'cpuTempC': cpu_temp, 'cpuClockMhz': clock, 'cpuFanRpm': cpu_fan,
                  'cpuPowerW': power, 'cpuLoadPct': load}
        if nvidia:
            t, c, f, p, u = nvidia.read()
            values.update(gpuTempC=t, gpuClockMhz=c, gpuFanRpm=f, gpuPowerW=p, gpuLoadPct=u)
        elif amd:
            c, p, u = amd.read()
            edge = next((e.current for e in temps.get('amdgpu', []) if e.label == 'edge'), 0.0)
            fan = next((e.current for e in fans.get('amdgpu', [])), 0.0)
            values.update(gpuTempC=edge, gpuClockMhz=c, gpuFanRpm=fan, gpuPowerW=p, gpuLoadPct=u)
        spent += time.process_time() - started

    print(json.dumps({'cpu_us_per_cycle': spent / args.cycles * 1e6, 'readings': values}))


if __name__ == '__main__':
    main()
