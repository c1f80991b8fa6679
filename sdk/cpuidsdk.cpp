// cpuidsdk.so: the sensor library's one exported entry point and the operations it hands out.
// Each instance owns a Machine, found on SdkStart (or on first use by a caller that never
// starts it) and released by SdkStop. Every operation holds the library's lock, so an instance
// may be made on one thread and used from another; no exception ever leaves an operation, and a
// bad handle, index or kind gets the operation's empty answer.
#include <memory>
#include <mutex>
#include <vector>

#include "sdk/machine.h"
#include "sdk/sdk_interface.h"

namespace {

using tqv::sdk::Machine;

struct Instance {
    SdkHandle handle = 0;
    std::unique_ptr<Machine> machine;
    bool stopped = false;

    // The machine, found now if it was not yet; null after SdkStop.
    Machine* Get() {
        if (!machine && !stopped)
            machine = std::make_unique<Machine>();
        return machine.get();
    }
};

// One lock for the instance table and every operation: a program drives the library from one
// thread at a time (it may change threads), so the lock is never contended, and one lock keeps
// an operation's cost to a few cached memory accesses.
std::mutex g_mutex;
std::vector<std::unique_ptr<Instance>> g_instances;
SdkHandle g_nextHandle = 1;

Instance* Find(SdkHandle handle) {
    for (auto& instance : g_instances) {
        if (instance->handle == handle)
            return instance.get();
    }
    return nullptr;
}

// Runs `fn(machine)` under the lock; `fallback` for an unknown handle, a stopped instance or
// any failure.
template <typename T, typename Fn>
T WithMachine(SdkHandle handle, T fallback, Fn fn) {
    try {
        std::lock_guard lock(g_mutex);
        Instance* instance = Find(handle);
        if (!instance)
            return fallback;
        Machine* machine = instance->Get();
        if (!machine)
            return fallback;
        return fn(*machine);
    } catch (...) {
        return fallback;
    }
}

SdkHandle OpCreate() {
    try {
        auto instance = std::make_unique<Instance>();
        std::lock_guard lock(g_mutex);
        while (g_nextHandle <= 0 || Find(g_nextHandle)) {
            g_nextHandle = g_nextHandle == INT32_MAX ? 1 : g_nextHandle + 1;
        }
        instance->handle = g_nextHandle;
        g_nextHandle = g_nextHandle == INT32_MAX ? 1 : g_nextHandle + 1;
        g_instances.push_back(std::move(instance));
        return g_instances.back()->handle;
    } catch (...) {
        return 0;
    }
}

void OpDestroy(SdkHandle handle) {
    std::unique_ptr<Instance> gone;
    try {
        std::lock_guard lock(g_mutex);
        for (auto it = g_instances.begin(); it != g_instances.end(); ++it) {
            if ((*it)->handle != handle)
                continue;
            gone = std::move(*it);
            g_instances.erase(it);
            break;
        }
        // Released under the lock: libsensors' shared state must not change under another
        // instance's operation.
        gone.reset();
    } catch (...) {
    }
}

int32_t OpStart(SdkHandle handle, const char*, const char*, int32_t, int32_t* out1, int32_t* out2) {
    if (out1)
        *out1 = 0;
    if (out2)
        *out2 = 0;
    try {
        std::lock_guard lock(g_mutex);
        Instance* instance = Find(handle);
        if (!instance)
            return 0;
        instance->stopped = false;
        return instance->Get() ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

void OpStop(SdkHandle handle) {
    try {
        std::lock_guard lock(g_mutex);
        Instance* instance = Find(handle);
        if (!instance)
            return;
        instance->machine.reset();
        instance->stopped = true;
    } catch (...) {
    }
}

void OpUpdate(SdkHandle handle) {
    WithMachine(handle, 0, [](Machine& machine) {
        machine.Update();
        return 0;
    });
}

void OpPostInit(SdkHandle handle, int32_t* out) {
    if (out)
        *out = 0;
    WithMachine(handle, 0, [](Machine&) { return 0; });
}

float OpCpuTemp(SdkHandle handle, int32_t) {
    return WithMachine(handle, -1.0f, [](Machine& machine) { return machine.CpuTemperature(); });
}

int32_t OpMemKind(SdkHandle handle) {
    return WithMachine(handle, -1, [](Machine& machine) { return machine.Memory().kind; });
}

int32_t OpMemMegabytes(SdkHandle handle) {
    return WithMachine(handle, -1, [](Machine& machine) { return machine.Memory().megabytes; });
}

SdkText OpMemText(SdkHandle handle, int32_t) {
    return WithMachine(handle, SdkText{nullptr}, [](Machine& machine) -> SdkText {
        const auto& text = machine.Memory().text;
        return text.empty() ? nullptr
                            : SdkTextAllocN(text.data(), static_cast<uint32_t>(text.size()));
    });
}

int32_t OpDeviceTotal(SdkHandle handle) {
    return WithMachine(handle, -1, [](Machine& machine) { return machine.DeviceTotal(); });
}

int32_t OpDeviceKind(SdkHandle handle, int32_t device) {
    return WithMachine(handle, -1, [device](Machine& machine) {
        const auto* found = machine.DeviceAt(device);
        return found ? found->kind : -1;
    });
}

SdkText OpDeviceLabel(SdkHandle handle, int32_t device) {
    return WithMachine(handle, SdkText{nullptr}, [device](Machine& machine) -> SdkText {
        const auto* found = machine.DeviceAt(device);
        if (!found || found->label.empty())
            return nullptr;
        return SdkTextAllocN(found->label.data(), static_cast<uint32_t>(found->label.size()));
    });
}

int32_t OpSensorTotal(SdkHandle handle, int32_t device, int32_t kind) {
    return WithMachine(handle, 0,
                       [=](Machine& machine) { return machine.SensorTotal(device, kind); });
}

int32_t OpSensorRead(SdkHandle handle, int32_t device, int32_t index, int32_t kind, int32_t* out1,
                     SdkText* name, int32_t* out2, float* value, float* minimum, float* maximum) {
    if (out1)
        *out1 = 0;
    if (out2)
        *out2 = 0;
    if (name)
        *name = nullptr;
    return WithMachine(handle, 0, [&](Machine& machine) -> int32_t {
        const auto* sensor = machine.ReadSensor(device, index, kind);
        if (!sensor)
            return 0;
        if (name) {
            *name = SdkTextAllocN(sensor->name.data(), static_cast<uint32_t>(sensor->name.size()));
        }
        if (value)
            *value = sensor->value;
        if (minimum)
            *minimum = sensor->minimum;
        if (maximum)
            *maximum = sensor->maximum;
        return sensor->valid ? 1 : 0;
    });
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void* QueryInterface(uint32_t id) {
    switch (id) {
        case SDK_ID_CREATE:
            return reinterpret_cast<void*>(static_cast<SdkCreateFn>(OpCreate));
        case SDK_ID_DESTROY:
            return reinterpret_cast<void*>(static_cast<SdkDestroyFn>(OpDestroy));
        case SDK_ID_START:
            return reinterpret_cast<void*>(static_cast<SdkStartFn>(OpStart));
        case SDK_ID_STOP:
            return reinterpret_cast<void*>(static_cast<SdkStopFn>(OpStop));
        case SDK_ID_UPDATE:
            return reinterpret_cast<void*>(static_cast<SdkUpdateFn>(OpUpdate));
        case SDK_ID_POST_INIT:
            return reinterpret_cast<void*>(static_cast<SdkPostInitFn>(OpPostInit));
        case SDK_ID_CPU_TEMP:
            return reinterpret_cast<void*>(static_cast<SdkCpuTempFn>(OpCpuTemp));
        case SDK_ID_MEM_KIND:
            return reinterpret_cast<void*>(static_cast<SdkMemKindFn>(OpMemKind));
        case SDK_ID_MEM_MEGABYTES:
            return reinterpret_cast<void*>(static_cast<SdkMemMegabytesFn>(OpMemMegabytes));
        case SDK_ID_MEM_TEXT:
            return reinterpret_cast<void*>(static_cast<SdkMemTextFn>(OpMemText));
        case SDK_ID_DEVICE_TOTAL:
            return reinterpret_cast<void*>(static_cast<SdkDeviceTotalFn>(OpDeviceTotal));
        case SDK_ID_DEVICE_KIND:
            return reinterpret_cast<void*>(static_cast<SdkDeviceKindFn>(OpDeviceKind));
        case SDK_ID_DEVICE_LABEL:
            return reinterpret_cast<void*>(static_cast<SdkDeviceLabelFn>(OpDeviceLabel));
        case SDK_ID_SENSOR_TOTAL:
            return reinterpret_cast<void*>(static_cast<SdkSensorTotalFn>(OpSensorTotal));
        case SDK_ID_SENSOR_READ:
            return reinterpret_cast<void*>(static_cast<SdkSensorReadFn>(OpSensorRead));
        default:
            return nullptr;
    }
}
