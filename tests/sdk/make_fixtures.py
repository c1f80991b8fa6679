#!/usr/bin/env python3
"""Writes the fixture machines under tests/sdk/fixtures/ from scratch: sysfs and procfs trees as
the kernel lays them out (class links into devices/, device and subsystem links, the attribute
sets real drivers expose), SMBIOS memory records, sensors3.conf and the fake NVML scenario.
Change a machine here and run this script; the tests read the trees it writes."""
import os, struct, shutil
BASE = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'fixtures')

class Tree:
    def __init__(self, name):
        self.root = os.path.join(BASE, name)
        if os.path.exists(self.root): shutil.rmtree(self.root)
        os.makedirs(self.root)
    def w(self, rel, content):
        p = os.path.join(self.root, rel)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        mode = 'wb' if isinstance(content, bytes) else 'w'
        with open(p, mode) as f: f.write(content)
    def ln(self, rel, target):
        p = os.path.join(self.root, rel)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        os.symlink(target, p)
    def d(self, rel):
        os.makedirs(os.path.join(self.root, rel), exist_ok=True)
    def attrs(self, rel, **kv):
        for k, v in kv.items():
            self.w(rel + '/' + k, v if isinstance(v, bytes) else (str(v) + '\n'))

def relto(src_dir, target):
    return os.path.relpath(target, src_dir)

def base_dirs(t):
    for d in ['sys/class', 'sys/devices', 'sys/bus', 'sys/block', 'sys/firmware', 'proc', 'etc']:
        t.d(d)

def link_abs(t, linkrel, targetrel):
    """symlink sys-relative linkrel -> sys-relative targetrel, made relative"""
    t.ln('sys/' + linkrel, relto(os.path.dirname('/' + linkrel), '/' + targetrel))

def hwmon(t, devpath, n, name, device_link=True, **files):
    hp = f'{devpath}/hwmon/hwmon{n}' if devpath else f'devices/virtual/hwmon/hwmon{n}'
    t.attrs('sys/' + hp, name=name, **files)
    if devpath and device_link:
        link_abs(t, hp + '/device', devpath)
    link_abs(t, f'class/hwmon/hwmon{n}', hp)
    return hp

def platform_dev(t, dev):
    p = f'devices/platform/{dev}'
    t.d('sys/bus/platform/devices')
    link_abs(t, p + '/subsystem', 'bus/platform')
    return p

def pci_dev(t, parent, addr, cls, vendor, device, driver=None, runtime=None):
    p = f'{parent}/{addr}'
    t.attrs('sys/' + p, **{'class': cls, 'vendor': vendor, 'device': device,
                           'subsystem_vendor': vendor, 'subsystem_device': '0x0000'})
    t.d('sys/bus/pci/drivers')
    link_abs(t, p + '/subsystem', 'bus/pci')
    link_abs(t, f'bus/pci/devices/{addr}', p)
    if driver:
        t.d(f'sys/bus/pci/drivers/{driver}')
        link_abs(t, p + '/driver', f'bus/pci/drivers/{driver}')
    if runtime:
        t.attrs('sys/' + p + '/power', runtime_status=runtime)
    return p

def rapl(t, energy, max_range=262143328850):
    base = 'devices/virtual/powercap/intel-rapl'
    z0 = f'{base}/intel-rapl:0'
    t.attrs('sys/' + z0, name='package-0', energy_uj=energy, max_energy_range_uj=max_range)
    t.attrs('sys/' + z0 + '/intel-rapl:0:0', name='core', energy_uj=energy // 2, max_energy_range_uj=max_range)
    link_abs(t, 'class/powercap/intel-rapl:0', z0)
    link_abs(t, 'class/powercap/intel-rapl:0:0', z0 + '/intel-rapl:0:0')
    z1 = f'{base}/intel-rapl:1'
    t.attrs('sys/' + z1, name='psys', energy_uj=energy * 3, max_energy_range_uj=max_range)
    link_abs(t, 'class/powercap/intel-rapl:1', z1)

def dmi(t, **kv):
    t.attrs('sys/devices/virtual/dmi/id', **kv)
    link_abs(t, 'class/dmi/id', 'devices/virtual/dmi/id')

def mem_entry(size_mb, mtype, maker, locator='DIMM', extended=False):
    strings = [locator, 'BANK 0', maker, '00000000', 'Asset', 'PART-1']
    size = 0x7FFF if extended else size_mb
    ext = size_mb if extended else 0
    body = struct.pack('<BBHHHHHHBBBBBHHBBBBBIHH',
        17, 0x28, 0x1100, 0x1000, 0xFFFE, 64, 64, size, 0x09, 0, 1, 2,
        mtype, 0x0080, 3200, 3, 4, 5, 6, 0x02, ext, 3200, 1200)
    body = body + b'\0' * (0x28 - len(body))
    body = bytearray(body); body[1] = 0x28
    return bytes(body) + b''.join(s.encode() + b'\0' for s in strings) + b'\0'

def empty_slot():
    body = struct.pack('<BBHHHHHHBBBBBHHBBBBBIHH',
        17, 0x28, 0x1102, 0x1000, 0xFFFE, 0xFFFF, 0xFFFF, 0, 0x02, 0, 1, 2,
        0x02, 0x0000, 0, 3, 0, 0, 0, 0, 0, 0, 0)
    body = body + b'\0' * (0x28 - len(body))
    return body + b'DIMM_B1\0BANK 1\0NO DIMM\0\0'

def thermal(t, n, ztype, temp):
    p = f'devices/virtual/thermal/thermal_zone{n}'
    t.attrs('sys/' + p, type=ztype, temp=temp)
    link_abs(t, f'class/thermal/thermal_zone{n}', p)

def cpuinfo(name, mhz, count=2):
    out = []
    for i in range(count):
        out.append(f"processor\t: {i}\nvendor_id\t: X\ncpu family\t: 6\nmodel name\t: {name}\n"
                   f"stepping\t: 2\ncpu MHz\t\t: {mhz}\ncache size\t: 512 KB\nflags\t\t: fpu vme de\n\n")
    return ''.join(out)

STAT = ("cpu  1000 20 500 8000 100 30 20 0 0 0\n"
        "cpu0 500 10 250 4000 50 15 10 0 0 0\n"
        "cpu1 500 10 250 4000 50 15 10 0 0 0\n"
        "intr 123456 0 9 0 0\nctxt 987654\nbtime 1700000000\nprocesses 4321\n"
        "procs_running 1\nprocs_blocked 0\nsoftirq 1 2 3 4 5 6 7 8 9 10 11\n")

def diskline(major, minor, name, ticks):
    return f"{major:4d} {minor:7d} {name} 31208 8046 2748386 4800 11708 6703 985488 2795 0 {ticks} 8436 0 0 0 0 0 0\n"

def cpufreq(t, cur, lo, hi):
    t.attrs('sys/devices/system/cpu/cpufreq/policy0', scaling_cur_freq=cur, scaling_min_freq=lo,
            scaling_max_freq=hi, cpuinfo_min_freq=lo, cpuinfo_max_freq=hi, affected_cpus=0,
            scaling_governor='powersave', scaling_driver='intel_pstate')
    link_abs(t, 'devices/system/cpu/cpu0/cpufreq', 'devices/system/cpu/cpufreq/policy0')

# The attribute sets real drivers expose next to the values read.
def temp_attrs(n, value, label=None, crit=100000, extra=()):
    d = {f'temp{n}_input': value, f'temp{n}_max': crit - 10000, f'temp{n}_crit': crit,
         f'temp{n}_crit_alarm': 0}
    if label: d[f'temp{n}_label'] = label
    for e in extra: d[f'temp{n}_{e}'] = 0
    return d

def fan_attrs(n, value, label=None):
    d = {f'fan{n}_input': value, f'fan{n}_min': 0, f'fan{n}_alarm': 0, f'fan{n}_beep': 0,
         f'fan{n}_pulses': 2}
    if label: d[f'fan{n}_label'] = label
    return d

def in_attrs(n, value):
    return {f'in{n}_input': value, f'in{n}_min': 0, f'in{n}_max': 2040, f'in{n}_alarm': 0,
            f'in{n}_beep': 0}

def merge(*dicts):
    out = {}
    for d in dicts: out.update(d)
    return out

def block(t, name, devpath, size, model_dir=None):
    bp = f'{devpath}/block/{name}' if not devpath.startswith('devices/virtual') else f'{devpath}/{name}'
    t.attrs('sys/' + bp, size=size, hidden=0, removable=0, ro=0)
    link_abs(t, f'block/{name}', bp)
    return bp

# ---------------------------------------------------------------- Intel desktop
t = Tree('intel-desktop'); base_dirs(t)
t.w('proc/cpuinfo', cpuinfo('12th Gen Intel(R) Core(TM) i7-12700K', '800.000'))
t.w('proc/stat', STAT)
t.w('proc/meminfo', 'MemTotal:       32602104 kB\nMemFree:        20000000 kB\n')
t.w('proc/diskstats', diskline(7, 0, 'loop0', 0) + diskline(259, 0, 'nvme0n1', 1000) + diskline(259, 1, 'nvme0n1p1', 900))
cpufreq(t, 3600000, 800000, 4900000)
p = platform_dev(t, 'coretemp.0')
cores = ['Core 0', 'Core 4', 'Core 8', 'Core 12', 'Core 16', 'Core 20', 'Core 24', 'Core 28',
         'Core 32', 'Core 33', 'Core 34', 'Core 35']
hwmon(t, p, 1, 'coretemp', **merge(temp_attrs(1, 45000, 'Package id 0'),
      *[temp_attrs(i + 2, 43000 + 500 * i, label) for i, label in enumerate(cores)]))
p = platform_dev(t, 'nct6775.656')
nct_temps = ['SYSTIN', 'CPUTIN', 'AUXTIN0', 'AUXTIN1', 'AUXTIN2', 'AUXTIN3', 'PECI Agent 0',
             'PCH_CHIP_CPU_MAX_TEMP', 'PCH_CHIP_TEMP', 'PCH_CPU_TEMP']
hwmon(t, p, 3, 'nct6798', **merge(
    *[in_attrs(i, 1000 + 10 * i) for i in range(15)],
    fan_attrs(1, 812), fan_attrs(2, 1204), *[fan_attrs(i, 0) for i in range(3, 8)],
    *[temp_attrs(i + 1, 34000 + 1500 * i, label, extra=('type', 'offset', 'beep', 'max_hyst'))
      for i, label in enumerate(nct_temps)],
    {'intrusion0_alarm': 0, 'intrusion1_alarm': 0, 'beep_enable': 0, 'cpu0_vid': 0}))
pci_dev(t, 'devices/pci0000:00', '0000:00:00.0', '0x060000', '0x8086', '0x4668')
gpu = pci_dev(t, 'devices/pci0000:00/0000:00:01.0', '0000:01:00.0', '0x030000', '0x10de', '0x2206', 'nvidia', 'active')
nv = pci_dev(t, 'devices/pci0000:00/0000:00:06.0', '0000:02:00.0', '0x010802', '0x144d', '0xa80a', 'nvme', 'active')
hwmon(t, nv, 2, 'nvme', **merge(temp_attrs(1, 38850, 'Composite', 84850, ('min', 'alarm')),
      temp_attrs(2, 41850, 'Sensor 1', 65261850, ('min',)), temp_attrs(3, 35850, 'Sensor 2', 65261850, ('min',))))
ctrl = nv + '/nvme/nvme0'
t.attrs('sys/' + ctrl, model='Samsung SSD 980 PRO 1TB                 ', serial='S5GXNX0T000000')
link_abs(t, ctrl + '/device', nv)
bp = block(t, 'nvme0n1', ctrl, 1953525168)
link_abs(t, bp + '/device', ctrl)
t.attrs('sys/' + bp + '/nvme0n1p1', size=1953523712, partition=1)
block(t, 'loop0', 'devices/virtual/block', 0)
rapl(t, 1000000000)
dmi(t, board_vendor='ASUSTeK COMPUTER INC.', board_name='PRIME Z690-P', sys_vendor='ASUS',
    product_name='System Product Name')
t.w('sys/firmware/dmi/entries/17-0/raw', mem_entry(16384, 0x1A, 'Kingston', 'DIMM_A1'))
t.w('sys/firmware/dmi/entries/17-1/raw', empty_slot())
t.w('sys/firmware/dmi/entries/17-2/raw', mem_entry(16384, 0x1A, 'Kingston', 'DIMM_B2'))
thermal(t, 0, 'acpitz', 27800)
thermal(t, 1, 'x86_pkg_temp', 46000)
t.w('etc/sensors3.conf', 'chip "nct6798-*"\n    label fan2 "CPU Fan"\n    label temp1 "Motherboard"\n')
t.w('etc/nvml-scenario', '0000:01:00.0 name=NVIDIA_GeForce_RTX_3080 temp=52 clock=1710 fan_rpm=1450 power_mw=215000 util=37\n')

# ---------------------------------------------------------------- AMD desktop
t = Tree('amd-desktop'); base_dirs(t)
t.w('proc/cpuinfo', cpuinfo('AMD Ryzen 7 2700X Eight-Core Processor', '2200.000'))
t.w('proc/stat', STAT)
t.w('proc/meminfo', 'MemTotal:       16318412 kB\n')
t.w('proc/diskstats', diskline(8, 0, 'sda', 5000) + diskline(8, 1, 'sda1', 4000) + diskline(252, 0, 'zram0', 0) + diskline(253, 0, 'dm-0', 300))
cpufreq(t, 3700000, 2200000, 3700000)
df = pci_dev(t, 'devices/pci0000:00', '0000:00:18.3', '0x060000', '0x1022', '0x15eb', 'k10temp')
hwmon(t, df, 0, 'k10temp', **merge(temp_attrs(1, 71500, 'Tctl'), temp_attrs(2, 61500, 'Tdie'),
      {'temp3_input': 58250, 'temp3_label': 'Tccd1'}, {'temp4_input': 57000, 'temp4_label': 'Tccd2'}))
p = platform_dev(t, 'it87.2608')
hwmon(t, p, 2, 'it8688', **merge(
    *[in_attrs(i, 900 + 20 * i) for i in range(7)],
    fan_attrs(1, 1000), fan_attrs(2, 700), *[fan_attrs(i, 0) for i in range(3, 6)],
    *[temp_attrs(i + 1, 36000 + 2000 * i, extra=('type', 'offset', 'beep', 'min')) for i in range(6)],
    {'intrusion0_alarm': 0, 'beep_enable': 0}))
gpu = pci_dev(t, 'devices/pci0000:00/0000:00:03.1', '0000:0b:00.0', '0x030000', '0x1002', '0x73bf', 'amdgpu', 'active')
t.attrs('sys/' + gpu, gpu_busy_percent=23, pp_dpm_sclk=b'0: 500Mhz\n1: 2105Mhz *\n')
hwmon(t, gpu, 1, 'amdgpu', **merge(
    temp_attrs(1, 55000, 'edge', 100000, ('crit_hyst', 'emergency')),
    temp_attrs(2, 63000, 'junction', 110000, ('crit_hyst', 'emergency')),
    temp_attrs(3, 60000, 'mem', 100000, ('crit_hyst', 'emergency')),
    {'fan1_input': 1100, 'fan1_min': 0, 'fan1_max': 3300, 'fan1_target': 1100, 'fan1_enable': 0,
     'pwm1': 80, 'pwm1_enable': 2, 'pwm1_min': 0, 'pwm1_max': 255,
     'power1_average': 187000000, 'power1_cap': 255000000, 'power1_cap_max': 293000000,
     'power1_cap_min': 0, 'power1_cap_default': 255000000, 'power1_label': 'PPT',
     'freq1_input': 2105000000, 'freq1_label': 'sclk', 'freq2_input': 1000000000,
     'freq2_label': 'mclk', 'in0_input': 1150, 'in0_label': 'vddgfx', 'in1_input': 850,
     'in1_label': 'vddnb'}))
sata = pci_dev(t, 'devices/pci0000:00/0000:00:08.1', '0000:0c:00.0', '0x010601', '0x1022', '0x7901', 'ahci')
sd = sata + '/ata1/host0/target0:0:0/0:0:0:0'
t.attrs('sys/' + sd, model='Samsung SSD 860 EVO 500GB', vendor='ATA     ')
t.d('sys/bus/scsi/devices')
link_abs(t, sd + '/subsystem', 'bus/scsi')
hwmon(t, sd, 3, 'drivetemp', **merge(temp_attrs(1, 33000, None, 70000, ('min', 'lcrit', 'lowest', 'highest'))))
bp = block(t, 'sda', sd, 976773168)
link_abs(t, bp + '/device', sd)
block(t, 'zram0', 'devices/virtual/block', 8388608)
block(t, 'dm-0', 'devices/virtual/block', 1000000)
rapl(t, 5000000000)
dmi(t, board_vendor='Gigabyte Technology Co., Ltd.', board_name='X470 AORUS ULTRA GAMING-CF')
t.w('sys/firmware/dmi/entries/17-0/raw', mem_entry(8192, 0x1A, 'Unknown', 'DIMM 0'))
t.w('sys/firmware/dmi/entries/17-1/raw', mem_entry(8192, 0x1A, 'G Skill Intl', 'DIMM 1'))
t.w('etc/sensors3.conf', 'chip "it8688-*"\n    ignore fan1\n    compute fan2 @*2, @/2\n')

# ---------------------------------------------------------------- laptop
t = Tree('laptop'); base_dirs(t)
t.w('proc/cpuinfo', cpuinfo('12th Gen Intel(R) Core(TM) i7-1260P', '400.000'))
t.w('proc/stat', STAT)
t.w('proc/meminfo', 'MemTotal:       15995084 kB\n')
t.w('proc/diskstats', diskline(259, 0, 'nvme0n1', 700) + diskline(179, 0, 'mmcblk0', 20))
cpufreq(t, 2100000, 400000, 4700000)
p = platform_dev(t, 'coretemp.0')
hwmon(t, p, 4, 'coretemp', temp1_input=52000, temp1_label='Package id 0', temp2_input=50000, temp2_label='Core 0')
hwmon(t, None, 0, 'acpitz', temp1_input=48000)
igpu = pci_dev(t, 'devices/pci0000:00', '0000:00:02.0', '0x030000', '0x8086', '0x46a6', 'i915', 'active')
t.attrs('sys/' + igpu + '/drm/card1', gt_act_freq_mhz=700, gt_cur_freq_mhz=750)
dgpu = pci_dev(t, 'devices/pci0000:00/0000:00:01.0', '0000:01:00.0', '0x030200', '0x10de', '0x25a2', 'nvidia', 'suspended')
nv = pci_dev(t, 'devices/pci0000:00/0000:00:06.0', '0000:02:00.0', '0x010802', '0x15b7', '0x5011', 'nvme', 'active')
hwmon(t, nv, 1, 'nvme', temp1_input=41850, temp1_label='Composite')
ctrl = nv + '/nvme/nvme0'
t.attrs('sys/' + ctrl, model='WDC PC SN810 SDCPNRY-512G')
link_abs(t, ctrl + '/device', nv)
bp = block(t, 'nvme0n1', ctrl, 1000215216)
link_abs(t, bp + '/device', ctrl)
mmc = pci_dev(t, 'devices/pci0000:00', '0000:00:14.5', '0x080501', '0x8086', '0x51c5') + '/mmc_host/mmc0/mmc0:aaaa'
t.attrs('sys/' + mmc, name='SC32G', type='SD')
bp = block(t, 'mmcblk0', mmc, 62333952)
link_abs(t, bp + '/device', mmc)
rapl(t, 200000000)
dmi(t, board_vendor='LENOVO', board_name='21AHCTO1WW')
t.w('sys/firmware/dmi/entries/17-0/raw', mem_entry(8192, 0x23, 'Samsung', 'Controller0-ChannelA'))
t.w('sys/firmware/dmi/entries/17-1/raw', mem_entry(8192, 0x23, 'Samsung', 'Controller1-ChannelA'))
thermal(t, 0, 'x86_pkg_temp', 53000)
t.w('etc/sensors3.conf', '')
t.w('etc/nvml-scenario', '0000:01:00.0 name=NVIDIA_GeForce_RTX_3050_Laptop_GPU temp=44 clock=1200 fan_rpm=2100 power_mw=9000 util=5\n')

# ---------------------------------------------------------------- bare VM
t = Tree('bare-vm'); base_dirs(t)
t.w('proc/cpuinfo', cpuinfo('AMD EPYC', '2096.005'))
t.w('proc/stat', STAT)
t.w('proc/meminfo', 'MemTotal:       24683676 kB\nMemFree:        24319420 kB\n')
t.w('proc/diskstats', diskline(7, 0, 'loop0', 0) + diskline(254, 0, 'vda', 8632) + diskline(253, 0, 'zram0', 0))
t.d('sys/devices/system/cpu/cpu0')
pci_dev(t, 'devices/pci0000:00', '0000:00:00.0', '0x060000', '0x8086', '0x0d57')
blk = pci_dev(t, 'devices/pci0000:00', '0000:00:02.0', '0x018000', '0x1af4', '0x1042', 'virtio-pci')
vio = blk + '/virtio1'
t.attrs('sys/' + vio, vendor='0x1af4', device='0x0002', features='0')
bp = block(t, 'vda', vio, 104857600)
link_abs(t, bp + '/device', vio)
block(t, 'loop0', 'devices/virtual/block', 0)
block(t, 'zram0', 'devices/virtual/block', 8388608)
t.w('etc/sensors3.conf', '')
