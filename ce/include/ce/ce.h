// The CE platform layer: everything the handset's operating system provides.
#pragma once

#include "ce/base.h"
#include "ce/registry.h"
#include "ce/shell.h"
#include "ce/files.h"
#include "ce/kernel.h"
#include "ce/module.h"
#include "ce/network.h"
#include "ce/process.h"
#include "ce/services.h"
#include "ce/shortcut.h"
#include "ce/sysinfo.h"
#include "ce/text.h"
#include "ce/time.h"
#include "ce/windows.h"
#include "ce/ui.h"
#include "ce/gdi.h"
