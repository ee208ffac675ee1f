function varargout = gridlerp(varargin)
%GRIDLERP Sample an image by bilinear interpolation at clamped positions.
%   V = GRIDLERP(IMAGE, X, Y) samples the real double matrix IMAGE at the
%   0-based positions (X(k), Y(k)): X(k) is a column position and Y(k) a row
%   position, in pixel units, so X = 0 samples the first column exactly and
%   X = size(IMAGE, 2) - 1 the last. Every position is first clamped onto
%   the image rectangle [0, cols-1] x [0, rows-1], so a position outside the
%   image samples the nearest border pixel or border edge. V has the shape
%   of X (a matrix of size(X, 1) rows and numel(X) / size(X, 1) columns).
%
%   Inputs
%     IMAGE  real double matrix, rows x cols, not empty when X has elements.
%     X      real double array of column positions; gives the result's shape.
%     Y      real double array of row positions with at least numel(X)
%            elements; its shape is not used, extra elements are ignored.
%
%   Output
%     V      real double matrix shaped like X. A NaN position gives NaN; an
%            infinite one is clamped onto the border like any other.
%
%   Every sample is computed with the same IEEE double operations in the same
%   order on every build, so the results are the same bits everywhere.
%
%   Example
%     image = [10 20; 30 40];
%     v = gridlerp(image, [0.5 -5 1 0], [0.5 0.5 7 0])
%     % v = [25 20 40 10]
%
%   Errors
%     "Too many output arguments!"   more than one output requested.
%     "Not enough input arguments!"  not exactly three inputs.
%     gridlerp:notRealDouble   an input is not a real, full double array.
%     gridlerp:emptyImage      IMAGE is empty while X has elements.
%     gridlerp:tooFewElements  Y has fewer elements than X.
%     gridlerp:tooLarge        a size or element count exceeds 2^31 - 1.
%
%   See also PATCHWARP, INTERP2.

% Runs only when no compiled gridlerp module comes before this file on the path
% (in one folder the module takes precedence over this file).
error('bitexact:moduleNotFound', ...
      ['gridlerp: the compiled module was not found on the path. Build it with ' ...
       'bitexact_make(outdir) from the toolbox folder and addpath(outdir), ' ...
       'or in Octave install the package (pkg install bitexact-<version>.tar.gz) ' ...
       'and pkg load bitexact.']);
end
