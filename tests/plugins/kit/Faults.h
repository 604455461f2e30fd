#pragma once

// The faults the kit's crashing plug-ins raise. None of them returns.
namespace kit {

void WriteToAddressZero();
void ExecuteIllegalInstruction();
// The exception code another compiler's C++ runtime raises for a throw.
void RaiseForeignCxxException();

}  // namespace kit
