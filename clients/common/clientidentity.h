// The client's identity: the one table of names from which service names, window classes,
// registry keys, program names and event names are formed. The services, the client
// processes and the installer agree on these values; change them nowhere else.
#pragma once

#include <cstdint>

namespace ClientIdentity {

inline constexpr char ProductName[] = "Cindravale";
inline constexpr char EditionSuffix[] = "PU";
inline constexpr char NameInfix[] = "";
inline constexpr char RegistryProductName[] = "VennacorCloud";
inline constexpr char ProgramProductName[] = "Cindravale";
inline constexpr char PolicyGroupName[] = "Cloud";
inline constexpr char DropGroupName[] = "Cloud";
inline constexpr uint8_t VariantFlag = 1;
inline constexpr char MsiPushEventName[] = "Global\\com.vennacor.updateservice.msipush";
inline constexpr char ShutdownEventName[] = "com.vennacor.nclservice.shutdown";
inline constexpr char StoppedEventName[] = "com.vennacor.nclservice.stopped";
inline constexpr char InteractiveEventName[] = "com.vennacor.nclservice.interactive";
// Read by the client's tray program only.
inline constexpr char UiEventName[] = "com.vennacor.nclservice.ui";

// Forms built from the entries.
inline constexpr char TrayWindowClass[] = "TARSAUIPU";  // "TARSAUI" + EditionSuffix
inline constexpr char CxWindowClass[] = "TARSACXPU";    // "TARSACX" + EditionSuffix

}  // namespace ClientIdentity
