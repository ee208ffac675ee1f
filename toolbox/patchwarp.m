function varargout = patchwarp(varargin)
%PATCHWARP Cut an affinely mapped, bilinearly sampled patch out of an image.
%   [P, X, Y] = PATCHWARP(IMAGE, TEMPLATE, A) lays a grid of M rows and N
%   columns, where [M, N] = size(TEMPLATE), centred on the origin: cell (i, j)
%   (0-based) has the offsets dx = j - (N-1)/2 and dy = i - (M-1)/2. Each cell
%   is mapped into IMAGE by the 2 x 3 affine matrix A,
%       [x; y] = A * [dx; dy; 1],
%   computed as x = (A(1,1)*dx + A(1,2)*dy) + A(1,3), and likewise for y. So
%   A(:,1) is the image step for one grid column, A(:,2) the step for one grid
%   row, and A(:,3) the 0-based image position (column, row) of the grid's
%   centre. The mapped position is clamped onto the image rectangle
%   [0, cols-1] x [0, rows-1] (a position off the image samples the nearest
%   border pixel or edge) and the image is sampled there by bilinear
%   interpolation, exactly as GRIDLERP samples it.
%
%   Inputs
%     IMAGE     real double matrix, rows x cols; not empty when the grid has
%               cells.
%     TEMPLATE  any array; only its size [M, N] is used (an array of more than
%               two dimensions counts its trailing dimensions as columns).
%     A         real double array holding at least six elements when the grid
%               has cells; its first six, in storage order, are the 2 x 3
%               matrix [A(1) A(3) A(5); A(2) A(4) A(6)]. A 1 x 6, 6 x 1 or
%               3 x 2 array in that order serves as well.
%
%   Outputs (each an M x N real double matrix)
%     P  the patch: the sample at each cell's clamped position.
%     X  each cell's clamped 0-based column position.
%     Y  each cell's clamped 0-based row position.
%   A cell whose mapped position is NaN (from a NaN or infinite coefficient)
%   gets NaN in P, X and Y. Every value is computed with the same IEEE double
%   operations in the same order on every build: the same bits everywhere.
%
%   Example
%     image = magic(4);
%     % A 2 x 2 grid around position (1, 1): each sample is the mean of the
%     % four pixels nearest to it.
%     [p, x, y] = patchwarp(image, zeros(2), [1 0; 0 1; 1 1]')
%     % p = [8.5 6.5; 8 8.5], x = [0.5 1.5; 0.5 1.5], y = [0.5 0.5; 1.5 1.5]
%     % A 3 x 3 patch turned by 90 degrees about the pixel at 0-based row 1,
%     % column 2 (the value 10).
%     r = patchwarp(image, zeros(3), [0 1 -1 0 2 1])
%     % r = [13 8 12; 3 10 6; 2 11 7]
%
%   Errors
%     "Too many output arguments!"   more than three outputs requested.
%     "Not enough input arguments!"  not exactly three inputs.
%     patchwarp:notRealDouble   IMAGE or A is not a real, full double array.
%     patchwarp:emptyImage      IMAGE is empty while the grid has cells.
%     patchwarp:tooFewElements  A has fewer than six elements while the grid
%                               has cells.
%     patchwarp:tooLarge        a size or element count exceeds 2^31 - 1.
%
%   See also GRIDLERP, INTERP2.

% Runs only when no compiled patchwarp module comes before this file on the path
% (in one folder the module takes precedence over this file).
error('bitexact:moduleNotFound', ...
      ['patchwarp: the compiled module was not found on the path. Build it with ' ...
       'bitexact_make(outdir) from the toolbox folder and addpath(outdir), ' ...
       'or in Octave install the package (pkg install bitexact-<version>.tar.gz) ' ...
       'and pkg load bitexact.']);
end
