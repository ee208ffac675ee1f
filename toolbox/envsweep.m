function varargout = envsweep(varargin)
%ENVSWEEP Shifted, strided 2-D distance transform with the attaining cells.
%   [OUT_MAP, BEST_COL, BEST_ROW] = ENVSWEEP(SOURCE_MAP, COL_QUAD, COL_LIN,
%       ROW_QUAD, ROW_LIN, COL_FIRST, ROW_FIRST, OUT_COLS, OUT_ROWS, POS_STEP)
%   spreads the scores of SOURCE_MAP over a grid of OUT_ROWS x OUT_COLS
%   output positions, charging a separable quadratic cost for the distance
%   moved. With positive quadratic coefficients, output cell (j, i) holds
%
%     max over source cells (y, x) of  SOURCE_MAP(y, x)
%         - ROW_QUAD * (py(j) - y)^2 - ROW_LIN * (py(j) - y)
%         - COL_QUAD * (px(i) - x)^2 - COL_LIN * (px(i) - x)
%
%   with 1-based y and x, and BEST_COL(j, i), BEST_ROW(j, i) give the 1-based
%   source column and row that attain it. A negative quadratic coefficient
%   turns its direction into a minimum; the two directions may differ.
%
%   Output positions are source cells, 1-based: px(1) = fix(COL_FIRST) and
%   each next one is fix(previous + POS_STEP); rows likewise from ROW_FIRST.
%   With a fractional POS_STEP the fraction is dropped at every step (first
%   position 1 and step 1.5 give 1, 2, 3, ...). Positions may lie outside
%   the map; nothing is clamped.
%
%   Among source cells that reach the best value exactly, the one with the
%   smallest column is reported, and within that column the smallest row.
%   NaN cells are left out, as MAX leaves them out: a NaN never gives a
%   result and changes no other one (the row [0 NaN 1] with coefficients
%   1, 0, 1, 0 and three positions from column 1 gives [0 0 1] from columns
%   1, 3, 3), and a map of NaNs gives NaN from column 1, row 1. Where a
%   direction is a maximum, a +Inf cell gives +Inf (the first such cell by
%   column, then row) and a -Inf cell counts only where every other cell is
%   NaN; a minimum the other way round.
%   The transform works as two one-dimensional envelope sweeps whose
%   crossing points are held in single precision, so a crossing point within
%   half a single-precision unit of a cell counts as that cell. A call takes
%   time linear in the sizes of the map and of the output, and the results
%   are the same bits on every build.
%
%   Inputs
%     SOURCE_MAP  real double matrix, not empty unless the output is empty.
%     COL_QUAD, COL_LIN, ROW_QUAD, ROW_LIN
%                 cost coefficients (scalars) along columns and along rows.
%     COL_FIRST, ROW_FIRST
%                 1-based source column and row of the first output position,
%                 truncated toward zero.
%     OUT_COLS, OUT_ROWS
%                 output size, truncated toward zero, 0 or more.
%     POS_STEP    spacing of output positions in cells, 0 or more.
%
%   Outputs (all OUT_ROWS x OUT_COLS)
%     OUT_MAP     double, the transformed scores.
%     BEST_COL    int32, 1-based source column of each result.
%     BEST_ROW    int32, 1-based source row of each result.
%
%   Example
%     scores = [0 0 0 8; 6 0 0 0; 0 0 4 0];
%     [v, c, r] = envsweep(scores, 1, 0, 1, 0, 1, 1, 2, 2, 2)
%     % v = [5 7; 5 4], c = [1 4; 1 3], r = [2 1; 2 3]
%
%   Errors
%     "Wrong number of inputs"    not exactly ten inputs.
%     "Wrong number of outputs"   not exactly three outputs requested.
%     "Invalid input"             SOURCE_MAP is not of class double.
%     envsweep:notRealDouble  SOURCE_MAP is complex or sparse.
%     envsweep:badScalar      COL_FIRST, ROW_FIRST, OUT_COLS or OUT_ROWS is
%                             NaN, infinite or out of the 32-bit integer
%                             range (counts negative), or POS_STEP is NaN or
%                             negative.
%     envsweep:tooLarge       a size, OUT_ROWS * OUT_COLS, or OUT_ROWS times
%                             the columns of SOURCE_MAP exceeds 2^31 - 1.
%     envsweep:emptySource    SOURCE_MAP is empty while the output is not.
%     envsweep:positionRange  an output position lies beyond the 32-bit
%                             integer range.
%     envsweep:outOfMemory    the transform's working memory could not be had.
%
%   See also GRIDLERP, PATCHWARP, MAX.

% Runs only when no compiled envsweep module comes before this file on the path
% (in one folder the module takes precedence over this file).
error('bitexact:moduleNotFound', ...
      ['envsweep: the compiled module was not found on the path. Build it with ' ...
       'bitexact_make(outdir) from the toolbox folder and addpath(outdir), ' ...
       'or in Octave install the package (pkg install bitexact-<version>.tar.gz) ' ...
       'and pkg load bitexact.']);
end
