// The delivery: the software folder that the technician picked, and what the loader read from it.
#pragma once

#include <string>

// Copies of the delivery's version and sub-version made by the Main page, read by the later steps.
extern int g_deliveryVersion;
extern int g_deliverySubVersion;
// The board type read from the delivery's "hw_req.xml" (empty until read).
extern std::string g_boardType;
