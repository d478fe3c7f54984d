#pragma once
// Member definitions of I2::Report; included by Report.h only.
