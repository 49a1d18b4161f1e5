// Resource numbers of the loader.
#pragma once

#define IDS_APP_TITLE 57344
