// Umbrella header: every exported name of the imgnorm library.
#pragma once

#include "imgnorm/affine.h"
#include "imgnorm/archive.h"
#include "imgnorm/attention.h"
#include "imgnorm/diag.h"
#include "imgnorm/errors.h"
#include "imgnorm/exception.h"
#include "imgnorm/geometry.h"
#include "imgnorm/histostats.h"
#include "imgnorm/normalizer.h"
#include "imgnorm/pelbuffer.h"
#include "imgnorm/pelfunc.h"
#include "imgnorm/pelops.h"
#include "imgnorm/persistent.h"
#include "imgnorm/threshold.h"
#include "imgnorm/util.h"
#include "imgnorm/xform.h"
