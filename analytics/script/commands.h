// The command set: every statement node carries one of these codes (a decimal string, compared as
// a string) and the registrar hands it to the evaluator family that owns it
// (command_evaluator.h). Codes 11, 14, 31, 48 and 49 have no command: like any code no evaluator
// owns, they go to the function-call path of the registrar.
//
// Family sizes: bitwise 7, comparison 8, control 14, logical 3, loop 8, math 10, variable 12.
#pragma once

#include <string_view>

inline constexpr std::u16string_view APMPCommandAdd = u"0";                         // math
inline constexpr std::u16string_view APMPCommandAnd = u"1";                         // logical
inline constexpr std::u16string_view APMPCommandApply = u"2";                       // control
inline constexpr std::u16string_view APMPCommandAssign = u"3";                      // variable
inline constexpr std::u16string_view APMPCommandBreak = u"4";                       // control
inline constexpr std::u16string_view APMPCommandCase = u"5";                        // control
inline constexpr std::u16string_view APMPCommandContinue = u"6";                    // control
inline constexpr std::u16string_view APMPCommandCreateArray = u"7";                 // variable
inline constexpr std::u16string_view APMPCommandCreateObject = u"8";                // variable
inline constexpr std::u16string_view APMPCommandDefault = u"9";                     // control
inline constexpr std::u16string_view APMPCommandDivide = u"10";                     // math
inline constexpr std::u16string_view APMPCommandEquals = u"12";                     // comparison
inline constexpr std::u16string_view APMPCommandExpressionList = u"13";             // control
inline constexpr std::u16string_view APMPCommandGet = u"15";                        // variable
inline constexpr std::u16string_view APMPCommandGetIndex = u"16";                   // variable
inline constexpr std::u16string_view APMPCommandGetProperty = u"17";                // variable
inline constexpr std::u16string_view APMPCommandGreaterThan = u"18";                // comparison
inline constexpr std::u16string_view APMPCommandGreaterThanEquals = u"19";          // comparison
inline constexpr std::u16string_view APMPCommandIdentityEquals = u"20";             // comparison
inline constexpr std::u16string_view APMPCommandIdentityNotEquals = u"21";          // comparison
inline constexpr std::u16string_view APMPCommandIf = u"22";                         // control
inline constexpr std::u16string_view APMPCommandLessThan = u"23";                   // comparison
inline constexpr std::u16string_view APMPCommandLessThanEquals = u"24";             // comparison
inline constexpr std::u16string_view APMPCommandModulus = u"25";                    // math
inline constexpr std::u16string_view APMPCommandMultiply = u"26";                   // math
inline constexpr std::u16string_view APMPCommandNegate = u"27";                     // math
inline constexpr std::u16string_view APMPCommandNot = u"28";                        // logical
inline constexpr std::u16string_view APMPCommandNotEquals = u"29";                  // comparison
inline constexpr std::u16string_view APMPCommandOr = u"30";                         // logical
inline constexpr std::u16string_view APMPCommandPostDecrement = u"32";              // math
inline constexpr std::u16string_view APMPCommandPostIncrement = u"33";              // math
inline constexpr std::u16string_view APMPCommandPreDecrement = u"34";               // math
inline constexpr std::u16string_view APMPCommandPreIncrement = u"35";               // math
inline constexpr std::u16string_view APMPCommandReturn = u"36";                     // control
inline constexpr std::u16string_view APMPCommandSubtract = u"37";                   // math
inline constexpr std::u16string_view APMPCommandSwitch = u"38";                     // control
inline constexpr std::u16string_view APMPCommandTernary = u"39";                    // control
inline constexpr std::u16string_view APMPCommandTypeof = u"40";                     // variable
inline constexpr std::u16string_view APMPCommandVar = u"41";                        // variable
inline constexpr std::u16string_view APMPCommandWhile = u"42";                      // loop
inline constexpr std::u16string_view APMPCommandSetProperty = u"43";                // variable
inline constexpr std::u16string_view APMPCommandUndefined = u"44";                  // variable
inline constexpr std::u16string_view APMPCommandNull = u"45";                       // variable
inline constexpr std::u16string_view APMPCommandQuote = u"46";                      // control
inline constexpr std::u16string_view APMPCommandForIn = u"47";                      // loop
inline constexpr std::u16string_view APMPCommandDefineFunction = u"50";             // control
inline constexpr std::u16string_view APMPCommandFn = u"51";                         // control
inline constexpr std::u16string_view APMPCommandConst = u"52";                      // variable
inline constexpr std::u16string_view APMPCommandBlock = u"53";                      // control
inline constexpr std::u16string_view APMPCommandForInConst = u"54";                 // loop
inline constexpr std::u16string_view APMPCommandForInLet = u"55";                   // loop
inline constexpr std::u16string_view APMPCommandBitwiseAnd = u"56";                 // bitwise
inline constexpr std::u16string_view APMPCommandBitwiseLeftShift = u"57";           // bitwise
inline constexpr std::u16string_view APMPCommandBitwiseNot = u"58";                 // bitwise
inline constexpr std::u16string_view APMPCommandBitwiseOr = u"59";                  // bitwise
inline constexpr std::u16string_view APMPCommandBitwiseRightShift = u"60";          // bitwise
inline constexpr std::u16string_view APMPCommandBitwiseUnsignedRightShift = u"61";  // bitwise
inline constexpr std::u16string_view APMPCommandBitwiseXor = u"62";                 // bitwise
inline constexpr std::u16string_view APMPCommandForLet = u"63";                     // loop
inline constexpr std::u16string_view APMPCommandForOf = u"64";                      // loop
inline constexpr std::u16string_view APMPCommandForOfConst = u"65";                 // loop
inline constexpr std::u16string_view APMPCommandForOfLet = u"66";                   // loop
