#pragma once

// Who the server says it is to VST3 and CLAP plug-ins: the identity the VST 2
// host callback gives (vendor, product, vendor version).
constexpr wchar_t kHostProductName[] = L"Orvane";
constexpr char kHostProductNameBytes[] = "Orvane";
constexpr char kHostVendorNameBytes[] = "Greyhaven Software";
constexpr char kHostVersionBytes[] = "3";
