// --headless: the monitor without a window. Start-up runs in the program's order (settings,
// sensor library, inventory, display link, hotplug, worker); then the main thread waits for a
// signal or a second start's wake-up knock, while the monitor core's device-event thread turns
// the kernel's USB events into rebuilds of the serial link and removals of the HID display.
//
// Signals: SIGTERM, SIGINT and SIGHUP stop the monitor (within about a second; nothing is
// written at exit). SIGUSR1 rebuilds the serial link, as the window's rebuild command does: for
// a display behind a port named with --port that appeared after the start.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <poll.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "app/app_settings.h"
#include "app/commands.h"
#include "app/console_view.h"
#include "monitor/monitor_core.h"
#include "platform/paths.h"
#include "platform/single_instance.h"
#include "sensors/sensor_hub.h"

namespace tqv {

int RunHeadlessCommand(const CommandOptions& options) {
    // SIGTERM and SIGINT are taken through a descriptor, so the main thread sleeps in one poll
    // and wakes only for a signal or a wake-up knock. Blocked before any thread starts, so every
    // thread inherits the mask and none of them is interrupted by the signals.
    sigset_t handledSignals;
    sigemptyset(&handledSignals);
    sigaddset(&handledSignals, SIGTERM);
    sigaddset(&handledSignals, SIGINT);
    sigaddset(&handledSignals, SIGHUP);
    sigaddset(&handledSignals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &handledSignals, nullptr);
    int signalFd = signalfd(-1, &handledSignals, SFD_CLOEXEC);
    if (signalFd < 0) {
        // Without the descriptor the signals keep their default action: they end the process.
        pthread_sigmask(SIG_UNBLOCK, &handledSignals, nullptr);
    }

    platform::SingleInstance instance;
    switch (instance.Acquire()) {
        case platform::SingleInstance::Role::Failed:
            return 1;
        case platform::SingleInstance::Role::Second:
            instance.WakeFirstInstance();
            return 0;
        case platform::SingleInstance::Role::First:
            break;
    }

    const std::string folder = platform::ExecutableFolder();
    SettingsController settings(SettingsPathFor(folder, platform::UserConfigDir()),
                                platform::ExecutablePath());
    settings.LoadSettings();

    SensorHub hub;
    hub.BindSdk(folder, kSdkFileName);
    hub.CollectInventory();

    // Declared after the hub, so the worker is stopped before the hub goes.
    MonitorCore core;
    core.InitMonitorPage(&hub, options.ports);
    core.ApplyDisplaySettings(settings.settings().temperatureUnit, settings.settings().display);
    core.SetTemperatureUnit(settings.settings().temperatureUnit);

    // From a terminal, the values show on one status line; a service prints nothing.
    ConsoleView console(stdout);
    if (::isatty(STDOUT_FILENO)) core.SetView(&console);

    core.StartHotplug();
    core.Start();

    for (;;) {
        pollfd fds[2] = {{signalFd, POLLIN, 0}, {instance.WakeDescriptor(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents) {
            signalfd_siginfo info{};
            if (::read(signalFd, &info, sizeof info) == sizeof info &&
                info.ssi_signo == SIGUSR1) {
                core.RebuildSerialLink();
                continue;
            }
            break;
        }
        if (fds[1].revents && instance.TakeWakeUps()) {
            // Without a window there is nothing to show; the message tells whoever watches
            // the service's output that a second start found it running.
            std::fprintf(stderr, "tarquelonvist: already running (woken by a second start)\n");
        }
    }
    const bool stopped = core.Stop();
    if (::isatty(STDOUT_FILENO)) std::printf("\n");
    if (!stopped) {
        // A worker stuck past the stop bound must not keep the process alive.
        std::_Exit(0);
    }
    if (signalFd >= 0) ::close(signalFd);
    return 0;
}

}  // namespace tqv
