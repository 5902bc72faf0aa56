#include "protocol/winportdevices.h"

#include "protocol/winserialrules.h"

#include <windows.h>
// The device class GUIDs are defined here rather than taken from a library.
#include <initguid.h>

#include <cfgmgr32.h>
#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <array>

namespace {

// A text value of at most 255 characters; empty when there is none.
QString registryText(HKEY key, const wchar_t* name) {
    std::array<wchar_t, 256> text{};
    DWORD type = 0;
    // One character short: the value need not end in a terminating null.
    DWORD size = static_cast<DWORD>((text.size() - 1) * sizeof(wchar_t));
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return {};
    return QString::fromWCharArray(text.data());
}

// The port name ("COM5") a device of the ports class was given.
QString portNameOf(HDEVINFO set, SP_DEVINFO_DATA& device) {
    const HKEY key =
        SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE)
        return {};
    const QString name = registryText(key, L"PortName");
    RegCloseKey(key);
    return name;
}

QString friendlyNameOf(HDEVINFO set, SP_DEVINFO_DATA& device) {
    std::array<wchar_t, 256> text{};
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(
            set, &device, SPDRP_FRIENDLYNAME, &type, reinterpret_cast<BYTE*>(text.data()),
            static_cast<DWORD>((text.size() - 1) * sizeof(wchar_t)), nullptr) ||
        type != REG_SZ)
        return {};
    return QString::fromWCharArray(text.data());
}

// A USB adapter's serial number is in its own instance ID, or in its
// parent's where the port is a function of a composite device or a bus of
// the adapter's driver (FTDIBUS\...).
QString serialNumberOf(DEVINST node) {
    for (int level = 0; level < 2; ++level) {
        std::array<wchar_t, MAX_DEVICE_ID_LEN + 1> id{};
        if (CM_Get_Device_IDW(node, id.data(), MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS)
            return {};
        const QString serial = WinSerialRules::usbSerialNumber(QString::fromWCharArray(id.data()));
        if (!serial.isEmpty())
            return serial;
        if (CM_Get_Parent(&node, node, 0) != CR_SUCCESS)
            return {};
    }
    return {};
}

} // namespace

namespace WinPortDevices {

std::vector<int> presentPorts() {
    // Every name of the system's device namespace, one after another, each
    // ending in a null, the list in a second one. It grows as it needs to.
    std::vector<wchar_t> names(1 << 16);
    DWORD length = 0;
    while ((length = QueryDosDeviceW(nullptr, names.data(), static_cast<DWORD>(names.size()))) ==
               0 &&
           GetLastError() == ERROR_INSUFFICIENT_BUFFER && names.size() < (1U << 24))
        names.resize(names.size() * 2);
    std::vector<int> ports;
    for (const wchar_t* name = names.data(); name < names.data() + length && *name != 0;
         name += wcslen(name) + 1) {
        if (const int port = WinSerialRules::comNumber(QString::fromWCharArray(name)); port != 0)
            ports.push_back(port);
    }
    std::sort(ports.begin(), ports.end());
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    return ports;
}

QString systemName(const QString& portName) {
    std::array<wchar_t, 1024> target{};
    const std::wstring name = portName.toStdWString();
    if (QueryDosDeviceW(name.c_str(), target.data(), static_cast<DWORD>(target.size())) == 0)
        return {};
    return QString::fromWCharArray(target.data());
}

DeviceName deviceName(const QString& portName) {
    const HDEVINFO set =
        SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return {};
    DeviceName found;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        if (portNameOf(set, device).compare(portName, Qt::CaseInsensitive) == 0) {
            found = {friendlyNameOf(set, device), serialNumberOf(device.DevInst)};
            break;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

} // namespace WinPortDevices
