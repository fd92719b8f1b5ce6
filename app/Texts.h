#pragma once
// Texts the program shows about itself.

namespace Tavo {

inline constexpr const char* CopyrightNotice = "Copyright (C) 2026 The TavoRouterControl developers";

inline constexpr const char* TermsText =
    "All rights reserved. This program is provided \"as is\", without warranty of any kind, express or "
    "implied; in no event shall the authors be liable for any claim, damages or other liability arising "
    "from its use. You may use it in your own control room; redistribution in any form requires the "
    "authors' written permission.";

inline constexpr const char* ErrorTitle = "TavoRouterControl - Error";

} // namespace Tavo
