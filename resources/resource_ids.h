#pragma once

#define IDD_UPDATE 105
#define IDI_PRODUCT 104
#define IDC_UPDATE_BUTTON 1008
#define IDC_PROMPT 1009
// An update's manifest, bound into the exe that the packer ships with it.
#define IDR_BOUND_MANIFEST 110
