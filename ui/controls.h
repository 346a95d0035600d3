// Control identifiers of the Install dialog that the engine reaches through dialogWindow.
#pragma once

constexpr int IDC_STATUS_LINE = 113;
constexpr int IDC_PROGRESS_AREA = 115;
