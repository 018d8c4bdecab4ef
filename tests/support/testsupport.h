#pragma once

// Everything the window tests use from the support library.
#include "fixedclock.h"
#include "instance.h"
#include "lanfixture.h"
#include "lantraffic.h"
#include "manualscheduler.h"
#include "rawpeer.h"
#include "recordingmessagebox.h"
#include "recordingurlopener.h"
#include "virtuallan.h"
