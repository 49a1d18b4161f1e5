// The loader's document: one installation as the wizard pages hold it.
#pragma once

#include "framework/DocView.h"

class CTaviDoc : public CDocument {};
