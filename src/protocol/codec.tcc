// src/protocol/codec.tcc: write_value, the stored-value walker shared by the three writers.
#pragma once
