#pragma once

// One Japanese UI font for Latin and Japanese alike, and the name the Windows peers' popup font
// goes by mapped to an installed font with its metrics.
void setUpApplicationFonts();
