#pragma once

namespace TestHome {

// Windows: the key (an HKEY) that stands in for HKEY_CURRENT_USER in this
// test process, so a test can look at what the settings store wrote without
// going through the mapping. Null elsewhere.
void* registryScratchKey();

}  // namespace TestHome
